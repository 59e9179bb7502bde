import numpy as np
import pytest

from alvora import expression
from alvora.cross_sectional import CS_RANK, CS_ZSCORE, CrossSectionalFactor
from alvora.expression import ExpressionError, parse_factor
from alvora.fix import FixedFactor
from alvora.interface import BinaryCombinedFactor, UnaryCombinedFactor
from alvora.leaf import Factor, close, volume

from _model_helpers import Windowed, window_sum


def MA(factor, window):
    return Windowed(window_sum, window, factor)


def CORR(a, b, window):
    return Windowed(window_sum, window, a - b)


@pytest.fixture(autouse=True)
def fake_rolling(monkeypatch):
    monkeypatch.setattr(expression, "_rolling_operators",
                        lambda: ({"MA": MA, "CORR": CORR}, None))


class TestAccepted:
    def test_fields_numbers_and_arithmetic(self):
        assert parse_factor("close") == close
        assert parse_factor(" (close - open) / volume ") == (close - Factor("open")) / volume
        assert parse_factor("-close") == UnaryCombinedFactor(np.negative, close)
        assert parse_factor("+close") == close
        assert parse_factor("2 ** close") == 2 ** close
        assert parse_factor("abs(close - 1)") == abs(close - 1)

    def test_comparisons_and_logic_are_elementwise(self):
        node = parse_factor("close == 3")
        assert isinstance(node, BinaryCombinedFactor) and node._op is np.equal
        assert parse_factor("3 != close")._op is np.not_equal
        assert parse_factor("(close > 1) & (volume >= 2)") == (close > 1) & (volume >= 2)
        assert parse_factor("close > 1 or not volume < 2") == \
            (close > 1) | ~(volume < 2)

    def test_constants_fold(self):
        assert parse_factor("close * (2 + 3)") == close * 5
        assert parse_factor("close * 2 ** 3")._right == 8
        assert parse_factor("close / (1 / 4)")._right == 0.25
        assert parse_factor("MA(close, 2 * 5)") == MA(close, 10)

    def test_operators(self):
        assert parse_factor("MA(close, 5)") == MA(close, 5)
        assert parse_factor("CORR(close, volume, 10)") == CORR(close, volume, 10)
        assert parse_factor("CS_RANK(MA(close, 5))") == CS_RANK(MA(close, 5))
        assert parse_factor("CS_ZSCORE(Factor('pe_ratio'))") == CS_ZSCORE(Factor("pe_ratio"))
        fixed = parse_factor("FIX(close, '000300.XSHG')")
        assert isinstance(fixed, FixedFactor) and fixed.order_book_id == "000300.XSHG"
        assert isinstance(parse_factor("CS_SCALE(close) + CS_DEMEAN(volume)")._left,
                          CrossSectionalFactor)


class TestRejected:
    @pytest.mark.parametrize("text, message", [
        ("close.__class__", "not allowed in a factor expression: attribute access"),
        ("close[0]", "not allowed in a factor expression: indexing"),
        ("(lambda: 1)()", "only operators can be called"),
        ("__import__('os').system('true')", "only operators can be called"),
        ("__import__('os')", "__import__ is not an operator"),
        ("eval('1')", "eval is not an operator"),
        ("open('x')", "open is not an operator"),  # a field, not the builtin
        ("foo + 1", "unknown name 'foo'"),
        ("MA", "MA is an operator: call it"),
        ("MA(close)", "takes its factor argument"),
        ("MA(close, 0.5)", "between 1 and"),
        ("MA(close, 0)", "between 1 and"),
        ("MA(close, 10 ** 9)", "between 1 and"),
        ("MA(close, close)", "window of MA must be a whole number"),
        ("MA(3, 5)", "argument 1 of MA must be a factor"),
        ("MA(close, window=5)", "keyword arguments are not supported"),
        ("CS_RANK(close, volume)", "CS_RANK takes 1 argument, got 2"),
        ("FIX(close, 300)", "argument 2 of FIX must be a non-empty quoted string"),
        ("Factor(close)", "argument 1 of Factor must be a non-empty quoted string"),
        ("close + 'x'", "only numbers are allowed"),
        ("close + True", "only numbers are allowed"),
        ("close // 2", "operator FloorDiv is not allowed"),
        ("1 < close < 2", "chained comparisons"),
        ("[close]", "not allowed in a factor expression: lists"),
        ("close if 1 else volume", "not allowed in a factor expression: conditional"),
        ("1 + 2", "has no factor in it"),
        ("close / (1 / 0)", "division by zero"),
        ("close * 10.0 ** 400", "number too large"),
        ("close +", "invalid expression"),
        ("", "empty expression"),
        ("(" * 300 + "close" + ")" * 300, "nested too deeply"),
        ("-" * 600 + "close", "nested too deeply"),
        ("close ** " * 600 + "close", "nested too deeply"),
        ("close * " + "9" * 5000, "number too large"),
        ("close + 10 ** 60 * 10 ** 60 * 10 ** 60 * 10 ** 60 * 10 ** 60", "number too large"),

        ("close" + " " * 10001, None),
    ])
    def test_messages(self, text, message):
        if message is None:  # trailing blanks are stripped before the length check
            assert parse_factor(text) == close
            return
        with pytest.raises(ExpressionError, match=message):
            parse_factor(text)

    def test_overlong_and_non_text(self):
        with pytest.raises(ExpressionError, match="longer than"):
            parse_factor("close+" * 9000 + "close")
        with pytest.raises(TypeError):
            parse_factor(b"close")

    def test_unavailable_rolling_module_is_named(self, monkeypatch):
        monkeypatch.setattr(expression, "_rolling_operators", lambda: ({}, "no module"))
        with pytest.raises(ExpressionError, match="failed to load \\(no module\\)"):
            parse_factor("MA(close, 5)")
