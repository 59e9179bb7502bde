// FactorStudyBench and the two step base classes, FactorPreprocessor and FactorAnalyser.
#include <pybind11/pybind11.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/pyclass.hpp"
#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_inputs.hpp"

namespace alvora::study_bench {

namespace {

pyclass::ModuleGlobals g_module;

// Hands the pages a step freed back to the system. A step's large temporaries often sit in
// the heap below small objects that outlive it (results, data kept for the next steps); the
// heap cannot shrink past those, so the next step's peak would count them again.
void release_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// The private list of accepted names (name-mangled as Python would).
constexpr const char* kStepNames = "_FactorStudyBench__exists_step_names";

const char* const kPreprocessorDoc = R"doc(因子预处理步骤的基类。

子类实现 ``process``，输入一个因子表（行为交易日，列为 order_book_id），返回处理后的新因子表。
预处理步骤按添加顺序依次执行，全部完成后才执行分析步骤。

Example::

    class Clip(FactorPreprocessor):
        def process(self, factor_data):
            return factor_data.clip(-3, 3)

    bench.append(("clip", Clip()))
)doc";

const char* const kProcessDoc = R"doc(处理因子表并返回新的因子表。

:param factor_data: 因子表，index 为交易日（DatetimeIndex），columns 为 order_book_id
:return: 处理后的因子表
)doc";

const char* const kAnalyserDoc = R"doc(因子分析步骤的基类。

子类实现 ``analysis``，读取预处理后的因子表与收益率表，返回一个结果对象。
加入流水线时，实例属性 ``step_name`` 被设置为步骤名称。

Example::

    class MeanFactor(FactorAnalyser):
        def analysis(self, factor_data, returns, periods, ascending=True):
            return factor_data.mean(axis=1)

    bench.append(("mean", MeanFactor()))
)doc";

const char* const kAnalyserAnalysisDoc = R"doc(执行分析并返回结果对象。

:param factor_data: 预处理后的因子表
:param returns: 日收益率表，行列布局与因子表相同
:param periods: 持有期（交易日数）的 tuple 或 list
:param ascending: 排序方向，True 表示因子值越小越好
:return: 分析结果对象
)doc";

const char* const kBenchDoc = R"doc(因子分析流水线。

按名称添加预处理步骤（``FactorPreprocessor`` 子类）与分析步骤（``FactorAnalyser`` 子类），
``analysis`` 先依次执行全部预处理步骤，再依次执行全部分析步骤，返回以步骤名称为键的字典。

Example::

    bench = FactorStudyBench()
    bench.append(("winsorize", Winzorization(method="mad")))
    bench.append(("ic", ICAnalysis(rank_ic=True, max_decay=5)))
    result = bench.analysis(factor_data, "daily", periods=(1, 5))
    result["ic"]
)doc";

const char* const kAppendDoc = R"doc(添加一个流水线步骤。

:param step: 二元 tuple ``(name, processor)``；processor 为 ``FactorPreprocessor`` 或
    ``FactorAnalyser`` 的实例；name 在同一流水线中只能使用一次
:raises RuntimeError: 名称已被使用
:raises ValueError: processor 不是两种步骤之一

Example::

    bench.append(("ic", ICAnalysis()))
)doc";

const char* const kAnalysisDoc = R"doc(执行流水线。

:param factor_data: 因子表，index 为交易日（DatetimeIndex），columns 为 order_book_id
:param returns: 日收益率表（布局同因子表），或字符串 "daily"（由行情客户端获取日涨跌幅）
:param ascending: 排序方向，False 表示因子值越大越好；传给每个分析步骤
:param periods: 持有期，int 或 int 的 tuple/list（交易日数）
:param keep_preprocess_result: 为真时，结果中同时保存每个预处理步骤之后的因子表副本
:return: 以步骤名称为键的字典；流水线为空时返回 None

注意：两张输入表的坐标轴名称会被原地设为 "datetime" 与 "order_book_id"。

Example::

    result = bench.analysis(factor_data, "daily", periods=[1, 5, 20])
)doc";

void bench_init(py::object self) {
    self.attr("preprocess_pipelines") = py::list();
    self.attr("analysis_pipelines") = g_module["defaultdict"](g_module["FactorAnalyser"]);
    py::setattr(self, kStepNames, py::list());
}

void bench_append(py::object self, py::object step) {
    // `step` is declared as a tuple; None gets through and fails at unpacking.
    if (!step.is_none() && !py::isinstance<py::tuple>(step)) {
        throw py::type_error(py::str("Argument 'step' has incorrect type (expected tuple, got {})")
                                 .format(py::type::of(step).attr("__name__")));
    }
    if (step.is_none()) throw py::type_error("cannot unpack non-iterable NoneType object");
    auto items = py::reinterpret_borrow<py::tuple>(step);
    if (items.size() < 2) {
        throw py::value_error(
            py::str("not enough values to unpack (expected 2, got {})").format(items.size()));
    }
    if (items.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
    py::object name = items[0];
    py::object processor = items[1];

    py::list names = self.attr(kStepNames);
    if (names.contains(name)) {
        raise_py(
            PyExc_RuntimeError,
            py::str("pipeline step name={} already exists, please use another name.").format(name));
    }
    names.append(name);

    if (py::isinstance(processor, g_module["FactorPreprocessor"])) {
        self.attr("preprocess_pipelines").attr("append")(step);
    } else if (py::isinstance(processor, g_module["FactorAnalyser"])) {
        processor.attr("step_name") = name;
        self.attr("analysis_pipelines")[name] = processor;
    } else {
        throw py::value_error(
            py::str("Invalid step={}, unknown processor={}").format(name, processor));
    }
}

py::object bench_analysis(py::object self, py::object factor_data, py::object returns,
                          py::object ascending, py::object periods,
                          py::object keep_preprocess_result) {
    py::list preprocess = self.attr("preprocess_pipelines");
    py::object analysers = self.attr("analysis_pipelines");
    if (py::len(preprocess) == 0 && py::len(analysers) == 0) {
        g_module["warnings"].attr("warn")("no pipelines to execute.");
        return py::none();
    }

    StudyScope scope;  // the steps share the industry data they load
    PreparedInputs in = prepare_inputs(factor_data, returns, periods);
    // In a study of many factors the next factor needs the same memory again: handing the freed
    // pages back would only make it fault them in afresh.
    const bool trim = !in_shared_study(g_module["tessal"]);
    py::object data = in.factor_data;
    const bool keep = py::bool_(keep_preprocess_result);

    py::dict output;
    for (py::handle entry : preprocess) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(entry);
        data = pair[1].attr("process")(data);
        if (keep) output[pair[0]] = data.attr("copy")();
        if (trim) release_free_memory();
    }
    // Iterate over a snapshot: a step reading the mapping must not break the loop.
    py::list items = py::list(analysers.attr("items")());
    for (py::handle entry : items) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(entry);
        output[pair[0]] = pair[1].attr("analysis")(data, in.returns, in.periods,
                                                   py::arg("ascending") = ascending);
        if (trim) release_free_memory();
    }
    return output;
}

}  // namespace

const pyclass::ModuleGlobals& module_globals() {
    return g_module;
}

void register_pipeline(py::module_& m) {
    g_module.bind(m);
    using pyclass::add_method;
    py::tuple no_bases = py::make_tuple(
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));

    py::object preprocessor =
        pyclass::make_class(m, "FactorPreprocessor", no_bases, kPreprocessorDoc);
    add_method(
        preprocessor, "process",
        [](py::object self, py::object factor_data) -> py::object {
            raise_py(PyExc_NotImplementedError,
                     py::str("Need implement FactorPreprocessor.process"));
        },
        py::arg("factor_data"), py::doc(kProcessDoc));

    py::object analyser = pyclass::make_class(m, "FactorAnalyser", no_bases, kAnalyserDoc);
    analyser.attr("step_name") = py::str("FactorAnalysisStep");
    add_method(
        analyser, "analysis",
        [](py::object self, py::object factor_data, py::object returns, py::object periods,
           py::object ascending) -> py::object {
            raise_py(PyExc_NotImplementedError, py::str("Need implement FactorAnalyser.analysis"));
        },
        py::arg("factor_data"), py::arg("returns"), py::arg("periods"), py::arg("ascending") = true,
        py::doc(kAnalyserAnalysisDoc));

    py::object bench = pyclass::make_class(m, "FactorStudyBench", no_bases, kBenchDoc);
    // pybind11 treats any function named __init__ as a constructor of a pybind11 type, so the
    // initialiser is built under another name and stored as __init__.
    py::setattr(bench, "__init__",
                py::cpp_function(&bench_init, py::name("_init_bench"), py::is_method(bench),
                                 py::doc("创建空流水线。")));
    add_method(bench, "append", &bench_append, py::arg("step"), py::doc(kAppendDoc));
    add_method(bench, "analysis", &bench_analysis, py::arg("factor_data"), py::arg("returns"),
               py::arg("ascending") = false, py::arg("periods") = 1,
               py::arg("keep_preprocess_result") = false, py::doc(kAnalysisDoc));

    m.attr("VALID_INDUSTRY_SOURCE") = py::make_tuple("citics_2019", "sws");
    m.attr("VALID_WINSORIZE_METHODS") = py::make_tuple("mad", "std", "percentile");

    register_inputs(m);
}

}  // namespace alvora::study_bench
