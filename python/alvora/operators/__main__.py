"""Prints the operator list (markdown) built from the registry."""
from .registry import markdown

print(markdown())
