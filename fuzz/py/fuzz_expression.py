"""Expression parser: arbitrary text is parsed or refused with ExpressionError
(never another exception), and whatever parses gives the same tree when its
text is written out again in canonical form (ast.unparse: other spacing and
parentheses, numbers respelled).  Half the inputs come from a small grammar
over the real operators so that most of them get past the syntax check."""
import ast
import sys

import atheris

with atheris.instrument_imports(include=["alvora", "tessal"]):
    from alvora.expression import ExpressionError, available_operators, parse_factor

OPERATORS = available_operators()
FIELDS = ["open", "high", "low", "close", "volume", "total_turnover"]
BINARY = ["+", "-", "*", "/", "**", "<", ">=", "==", "&", "|"]


def grammar(fdp, depth):
    kind = fdp.ConsumeIntInRange(0, 5 if depth < 6 else 1)
    if kind == 0:
        return fdp.PickValueInList(FIELDS)
    if kind == 1:
        return repr(fdp.ConsumeRegularFloat()) if fdp.ConsumeBool() else str(fdp.ConsumeInt(2))
    if kind == 2:
        return "({} {} {})".format(grammar(fdp, depth + 1), fdp.PickValueInList(BINARY),
                                   grammar(fdp, depth + 1))
    if kind == 3:
        return fdp.PickValueInList(["-", "~", "abs"]) + "(" + grammar(fdp, depth + 1) + ")"
    args = [grammar(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(1, 3))]
    if fdp.ConsumeBool():
        args.append(str(fdp.ConsumeIntInRange(-2, 300)))
    return "{}({})".format(fdp.PickValueInList(OPERATORS), ", ".join(args))


def test_one(data):
    fdp = atheris.FuzzedDataProvider(data)
    text = grammar(fdp, 0) if fdp.ConsumeBool() else fdp.ConsumeUnicodeNoSurrogates(400)
    try:
        tree = parse_factor(text)
    except ExpressionError:
        return
    canonical = ast.unparse(ast.parse(text.strip(), mode="eval"))
    try:
        again = parse_factor(canonical)
    except ExpressionError as exc:
        if "longer than" in str(exc):  # respelled numbers may pass the length limit
            return
        raise AssertionError("{!r} parsed but its canonical form {!r} did not: {}".format(
            text, canonical, exc)) from None
    if repr(again) != repr(tree):
        raise AssertionError("round trip changed {!r}: {!r} -> {!r}".format(
            text, repr(tree), repr(again)))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()
