import importlib


def test_extension_modules_import():
    for name in ("alvora.rolling", "alvora.engine_v2.eval_core", "alvora.analysis.study_bench"):
        mod = importlib.import_module(name)
        assert mod.__name__ == name
