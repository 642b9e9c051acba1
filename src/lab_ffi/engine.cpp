// PyInit__engine: the study layer's native entry, run_batch and perturbation, and EngineError.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "explore/batch.hpp"
#include "explore/lane_driver.hpp"
#include "explore/metrics.hpp"
#include "explore/orchestrator.hpp"
#include "ffi/guard.hpp"
#include "ffi/memory_budget.hpp"
#include "ffi/numpy.hpp"
#include "ffi/ref.hpp"
#include "lab_ffi/arguments.hpp"
#include "math/simplex.hpp"
#include "math/stop.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::lab_ffi {
namespace {

using ffi::Bytes;
using ffi::PyErrAlreadySet;
using ffi::Ref;

PyObject* engine_error = nullptr;  // process lifetime, created with the module

// EngineError(message): a run met what the step rules stop on.
void raise_engine_error(const char* message) noexcept {
  PyObject* text =
      PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(engine_error != nullptr ? engine_error : PyExc_RuntimeError, text);
  Py_DECREF(text);
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return ffi::guarded_with(&raise_engine_error, std::forward<Body>(body));
}

constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kSteps = std::numeric_limits<std::uint32_t>::max();

// A value the caller decided on that the core refused: ValueError naming the parameters.
template <class F>
auto refused_as_value_error(const char* names, F&& f) {
  try {
    return f();
  } catch (const math::Stop& s) {
    raise(PyExc_ValueError, std::string(names) + ": " + s.what());
  }
}

// The caller's matrix or stack, copied row-major as soon as it is converted: converting a later
// argument, or the progress callback, may run Python code that changes the caller's array.
struct Games {
  std::vector<double> data;
  std::size_t count = 0, rows = 0, cols = 0;

  math::MatrixView matrix(std::size_t k) const noexcept {
    const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
    return {reinterpret_cast<const std::byte*>(data.data() + k * rows * cols), rows, cols,
            static_cast<std::ptrdiff_t>(cols) * d, d};
  }
  explore::MatrixStackView stack() const noexcept {
    const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto c = static_cast<std::ptrdiff_t>(cols);
    return {reinterpret_cast<const std::byte*>(data.data()), count, rows, cols,
            static_cast<std::ptrdiff_t>(rows) * c * d,       c * d, d};
  }
};

std::string shape_text(std::initializer_list<std::size_t> dims) {
  std::string out = "(";
  for (std::size_t d : dims) out += (out.size() > 1 ? ", " : "") + std::to_string(d);
  return out + (dims.size() == 1 ? ",)" : ")");
}

Games copy_base(PyObject* obj) {
  const auto view = ffi::as_matrix_view(obj);
  if (!view) raise(PyExc_TypeError, "base must be a 2-D float64 NumPy array");
  if (view->rows == 0 || view->cols == 0)
    raise(PyExc_ValueError, "base must have a row and a column at least, got shape " +
                                shape_text({view->rows, view->cols}));
  ffi::require_memory(Bytes::doubles(view->rows) * view->cols, "a copy of base");
  Games g{std::vector<double>(math::checked_size(view->rows, view->cols)), 1, view->rows,
          view->cols};
  std::size_t e = 0;
  for (std::size_t i = 0; i < g.rows; ++i)
    for (std::size_t j = 0; j < g.cols; ++j) g.data[e++] = view->at(i, j);
  return g;
}

Games copy_stack(PyObject* obj) {
  const auto view = ffi::as_stack_view(obj);
  if (!view) raise(PyExc_TypeError, "stack must be a 3-D float64 NumPy array");
  if (view->rows == 0 || view->cols == 0)
    raise(PyExc_ValueError, "stack must hold games of a row and a column at least, got shape " +
                                shape_text({view->count, view->rows, view->cols}));
  ffi::require_memory(Bytes::doubles(view->count) * view->rows * view->cols, "a copy of stack");
  Games g{std::vector<double>(
              math::checked_size(view->count, math::checked_size(view->rows, view->cols))),
          view->count, view->rows, view->cols};
  std::size_t e = 0;
  for (std::size_t k = 0; k < g.count; ++k)
    for (std::size_t i = 0; i < g.rows; ++i)
      for (std::size_t j = 0; j < g.cols; ++j) g.data[e++] = view->matrix(k).at(i, j);
  return g;
}

// A start of `len` entries shared by every run, or one per run: each projected onto the simplex
// as the module's GameState projects its strategies.
std::vector<double> copy_starts(PyObject* obj, const char* name, std::size_t count,
                                std::size_t len) {
  std::size_t rows = 0;
  std::vector<double> raw;
  if (const auto v = ffi::as_vector_view(obj)) {
    if (v->size != len)
      raise(PyExc_ValueError, std::string(name) + " must have shape " + shape_text({len}) + " or " +
                                  shape_text({count, len}) + ", got " + shape_text({v->size}));
    rows = 1;
    raw = v->to_vector();
  } else if (const auto m = ffi::as_matrix_view(obj)) {
    if (m->rows != count || m->cols != len)
      raise(PyExc_ValueError, std::string(name) + " must have shape " + shape_text({len}) + " or " +
                                  shape_text({count, len}) + ", got " +
                                  shape_text({m->rows, m->cols}));
    ffi::require_memory(Bytes::doubles(count) * len * 2, std::string("a copy of ") + name);
    rows = count;
    raw.resize(math::checked_size(count, len));
    for (std::size_t k = 0; k < count; ++k)
      for (std::size_t i = 0; i < len; ++i) raw[k * len + i] = m->at(k, i);
  } else {
    raise(PyExc_TypeError, std::string(name) + " must be a 1-D or 2-D float64 NumPy array");
  }
  std::vector<double> out(raw.size());
  for (std::size_t k = 0; k < rows; ++k) {
    const math::Vector row(raw.begin() + k * len, raw.begin() + (k + 1) * len);
    const math::Vector projected =
        refused_as_value_error(name, [&] { return math::simplex_projection(row, 1.0); });
    std::copy(projected.begin(), projected.end(), out.begin() + k * len);
  }
  return out;
}

optimizers::Optimizer make_optimizer(const std::string& dynamic, double eta, std::size_t m,
                                     std::size_t n) {
  const auto mm = static_cast<std::uint32_t>(m), nn = static_cast<std::uint32_t>(n);
  if (m > kSteps || n > kSteps) raise(PyExc_ValueError, "games too large for the optimizers");
  if (dynamic == "ogda") return {optimizers::make_ogda_sized(eta, mm, nn)};
  if (dynamic == "omwuoomd") return {optimizers::make_omwuoomd_sized(eta, mm, nn)};
  if (dynamic == "omwuoftrl") return {optimizers::make_omwuoftrl_sized(eta, mm, nn)};
  raise(PyExc_ValueError,
        "dynamic must be 'ogda', 'omwuoomd' or 'omwuoftrl', got '" + dynamic + "'");
}

// The process-wide pool, started if need be (as the module does).
void ensure_pool() {
  try {
    (void)runtime::process_pool();
  } catch (const runtime::PoolStartError& e) {
    raise(PyExc_RuntimeError, e.what());
  }
  if (const auto notice = runtime::take_pool_size_notice())
    if (PyErr_WarnEx(PyExc_RuntimeWarning, notice->c_str(), 1) < 0) throw PyErrAlreadySet{};
}

// A batch running on this thread: its progress callback or a signal handler must not start
// another one, which would wait for the pool this one holds.
thread_local bool batch_running = false;

// The interpreter lock released for this object's lifetime, taken back for `locked` calls.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  template <class F>
  void locked(F&& f) {
    PyEval_RestoreThread(state_);
    f();  // noexcept by contract: Python errors are caught by the caller's code
    state_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* state_;
};

// progress(done); false with the error set when it raised.
bool tell(PyObject* progress, std::uint64_t done) {
  if (progress == nullptr) return true;
  PyObject* value = PyLong_FromUnsignedLongLong(done);
  if (value == nullptr) return false;
  PyObject* result = PyObject_CallOneArg(progress, value);
  Py_DECREF(value);
  Py_XDECREF(result);
  return result != nullptr;
}

Ref records_dict(const explore::BatchOutput& out, std::size_t m, std::size_t n) {
  const std::size_t count = out.records.size();
  std::vector<std::int64_t> steps(count);
  std::vector<std::uint8_t> converged(count);
  std::vector<double> columns[5];
  for (auto& c : columns) c.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    const explore::RunRecord& r = out.records[k];
    steps[k] = r.steps;
    converged[k] = r.converged ? 1 : 0;
    columns[0][k] = r.final_gap;
    columns[1][k] = r.metric;
    columns[2][k] = r.norm_max;
    columns[3][k] = r.norm_infinity;
    columns[4][k] = r.norm_frobenius;
  }
  Ref dict = ffi::new_ref(PyDict_New());
  const auto put = [&](const char* key, Ref value) {
    ffi::check_status(PyDict_SetItemString(dict.get(), key, value.get()));
  };
  put("steps", ffi::int64_array_copy(steps, {count}));
  put("converged", ffi::bool_array_copy(converged, {count}));
  const char* names[] = {"final_gap", "metric", "norm_max", "norm_infinity", "norm_frobenius"};
  for (std::size_t c = 0; c < 5; ++c)
    put(names[c], ffi::array_from_vector(std::move(columns[c]), {count}));
  Ref kept = ffi::new_ref(PyList_New(static_cast<Py_ssize_t>(out.kept.size())));
  for (std::size_t i = 0; i < out.kept.size(); ++i) {
    const explore::KeptRun& run = out.kept[i];
    const std::size_t len = run.steps.size();
    Ref entry = ffi::new_ref(PyDict_New());
    const auto set = [&](const char* key, Ref value) {
      ffi::check_status(PyDict_SetItemString(entry.get(), key, value.get()));
    };
    const std::vector<std::int64_t> kept_steps(run.steps.begin(), run.steps.end());
    set("step", ffi::int64_array_copy(kept_steps, {len}));
    set("gap", ffi::array_copy(run.gaps, {len}));
    set("x", ffi::array_copy(run.x, {len, m}));
    set("y", ffi::array_copy(run.y, {len, n}));
    set("x_final", ffi::array_copy(run.x_final, {m}));
    set("y_final", ffi::array_copy(run.y_final, {n}));
    set("tolerance_steps",
        ffi::int64_array_copy(run.tolerance_steps, {run.tolerance_steps.size()}));
    PyList_SET_ITEM(kept.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  put("kept", std::move(kept));
  return dict;
}

constexpr const char* kRunBatchNames[] = {
    "dynamic", "eta",   "num_steps",  "base",       "seed",    "first_run", "count",
    "inner",   "outer", "stack",      "normalize",  "x0",      "y0",        "metric",
    "cutoff",  "keep",  "keep_steps", "tolerances", "progress"};

PyObject* run_batch(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) noexcept {
  return guarded([&]() -> Ref {
    const Keywords in("run_batch()", kRunBatchNames, args, nargsf, kwnames);
    const auto required = [&](const char* name) {
      PyObject* v = in[name];
      if (v == nullptr) raise(PyExc_TypeError, std::string("run_batch() needs ") + name);
      return v;
    };
    // Conversion in a fixed order, each array copied at once.
    const std::string dynamic = to_text(required("dynamic"), "dynamic");
    const double eta = to_double(required("eta"), "eta");
    const auto num_steps =
        static_cast<std::uint32_t>(to_integer(required("num_steps"), "num_steps", kSteps));
    if (in["base"] != nullptr && in["stack"] != nullptr)
      raise(PyExc_ValueError, "give either base (with seed) or stack, not both");
    if (in["base"] == nullptr && in["stack"] == nullptr)
      raise(PyExc_ValueError, "give either base (with seed) or stack");
    explore::GameBatch batch;
    Games games;
    const std::uint64_t given_count = in["count"] ? to_integer(in["count"], "count", kU64) : 0;
    if (in["base"] != nullptr) {
      games = copy_base(in["base"]);
      if (in["seed"] == nullptr) raise(PyExc_ValueError, "seed is required with base");
      const std::uint64_t seed = to_integer(in["seed"], "seed", kU64);
      const std::uint64_t first_run =
          in["first_run"] ? to_integer(in["first_run"], "first_run", kU64) : 0;
      if (given_count > kU64 - first_run)
        raise(PyExc_ValueError, "first_run + count must stay below 2**64");
      const double inner = in["inner"] ? to_double(in["inner"], "inner") : 0.0;
      const double outer = in["outer"] ? to_double(in["outer"], "outer") : 0.0;
      const runtime::MagnitudeBand band =
          refused_as_value_error("inner, outer", [&] { return explore::make_band(inner, outer); });
      if (in["normalize"] != nullptr && to_flag(in["normalize"], "normalize"))
        raise(PyExc_ValueError, "normalize applies to a stack, not to base");
      batch.count = static_cast<std::size_t>(given_count);
      batch.base = games.matrix(0);
      batch.seeded = explore::SeededPerturbations{seed, first_run, band};
    } else {
      games = copy_stack(in["stack"]);
      if (in["seed"] != nullptr)
        raise(PyExc_ValueError, "seed applies to base; a stack has no perturbations");
      if (in["count"] != nullptr && given_count != games.count)
        raise(PyExc_ValueError, "count must be stack.shape[0] = " + std::to_string(games.count) +
                                    ", got " + std::to_string(given_count));
      batch.count = games.count;
      batch.stack = games.stack();
      batch.normalize = in["normalize"] != nullptr && to_flag(in["normalize"], "normalize");
    }
    const std::size_t m = games.rows, n = games.cols, count = batch.count;
    batch.rows = m;
    batch.cols = n;
    const std::vector<double> x0 =
        in["x0"] ? copy_starts(in["x0"], "x0", count, m) : std::vector<double>{};
    const std::vector<double> y0 =
        in["y0"] ? copy_starts(in["y0"], "y0", count, n) : std::vector<double>{};
    batch.x_starts = x0;
    batch.y_starts = y0;
    const std::string metric_name = in["metric"] ? to_text(in["metric"], "metric") : "max_last";
    const double cutoff = in["cutoff"] ? to_double(in["cutoff"], "cutoff") : 0.1;
    if (!(cutoff >= 0.0)) raise(PyExc_ValueError, "cutoff must be 0 or more");
    auto parsed = explore::parse_metric_method(metric_name, cutoff);
    if (!parsed.has_value()) raise(PyExc_ValueError, "metric: " + parsed.error());
    std::vector<std::size_t> keep_runs;
    if (in["keep"] != nullptr) {
      for (std::uint64_t k : to_integers(in["keep"], "keep", kU64)) {
        if (k >= count || (!keep_runs.empty() && k <= keep_runs.back()))
          raise(PyExc_ValueError,
                "keep must be sorted, unique indices below count = " + std::to_string(count));
        keep_runs.push_back(static_cast<std::size_t>(k));
      }
    }
    std::vector<std::uint64_t> keep_steps;
    if (in["keep_steps"] != nullptr) {
      keep_steps = to_integers(in["keep_steps"], "keep_steps", kU64);
      for (std::size_t i = 0; i < keep_steps.size(); ++i)
        if (keep_steps[i] == 0 || (i > 0 && keep_steps[i] <= keep_steps[i - 1]))
          raise(PyExc_ValueError, "keep_steps must be sorted, unique steps from 1");
      // Steps beyond the cap are never reached; dropped, they hold no memory.
      keep_steps.erase(std::upper_bound(keep_steps.begin(), keep_steps.end(), num_steps),
                       keep_steps.end());
    }
    const std::vector<double> tolerances =
        in["tolerances"] ? to_doubles(in["tolerances"], "tolerances") : std::vector<double>{};
    PyObject* progress = in["progress"];
    if (progress != nullptr && !PyCallable_Check(progress))
      raise(PyExc_TypeError, "progress must be callable");
    const optimizers::Optimizer optimizer = make_optimizer(dynamic, eta, m, n);

    // What the batch holds at once besides the copies: a record per run and its arrays, each
    // worker's lanes with what the metric reads of their gaps, the kept trajectories.
    ensure_pool();
    const std::size_t workers = runtime::process_pool().size();
    const std::size_t lanes = explore::kWidestExplorationLanes + 1;
    const explore::MetricMethod metric = parsed.value();
    ffi::require_memory(
        Bytes(sizeof(explore::RunRecord) + 7 * sizeof(double)) * count +
            (Bytes::doubles(explore::GapReducer::held(num_steps, metric)) * lanes +
             Bytes::doubles(m) * n * lanes * 2) *
                workers +
            Bytes::doubles(keep_steps.size() + 1) * (m + n + 2) * keep_runs.size() * 2,
        "a batch of " + std::to_string(count) + " runs of " + std::to_string(num_steps) +
            " steps on " + std::to_string(m) + " x " + std::to_string(n) + " games");

    if (batch_running)
      raise(PyExc_RuntimeError,
            "run_batch() cannot start while a batch runs on the same thread (from its progress "
            "callback or a signal handler)");
    batch_running = true;
    struct Done {
      ~Done() { batch_running = false; }
    } done;
    const explore::BatchSettings settings{num_steps, metric, {keep_runs, keep_steps, tolerances}};
    Ref raised;  // what the callback or a signal handler raised; released under the lock
    std::atomic<std::uint64_t> steps_done{0};
    explore::BatchOutput out;
    try {
      Unlocked unlocked;
      runtime::BatchExecution execution;
      execution.progress = &steps_done;
      execution.cancel = [&] {
        bool failed = false;
        unlocked.locked([&] {
          if (PyErr_CheckSignals() < 0 ||
              !tell(progress, steps_done.load(std::memory_order_relaxed))) {
            raised = Ref::steal(PyErr_GetRaisedException());
            failed = true;
          }
        });
        if (failed) throw PyErrAlreadySet{};
        return false;
      };
      out = explore::run_game_batch(batch, optimizer, settings, execution);
    } catch (const PyErrAlreadySet&) {
      PyErr_SetRaisedException(raised.release());
      throw;
    }
    if (!tell(progress, std::uint64_t{count} * num_steps)) throw PyErrAlreadySet{};
    return records_dict(out, m, n);
  });
}

constexpr const char* kPerturbationNames[] = {"seed", "run", "shape", "inner", "outer"};

PyObject* perturbation(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
  return guarded([&]() -> Ref {
    const Keywords in("perturbation()", kPerturbationNames, args, nargsf, kwnames);
    for (const char* name : kPerturbationNames)
      if (in[name] == nullptr) raise(PyExc_TypeError, std::string("perturbation() needs ") + name);
    const std::uint64_t seed = to_integer(in["seed"], "seed", kU64);
    const std::uint64_t run = to_integer(in["run"], "run", kU64);
    const std::vector<std::uint64_t> shape = to_integers(in["shape"], "shape", kU64);
    if (shape.size() != 2) raise(PyExc_ValueError, "shape must be (rows, columns)");
    const double inner = to_double(in["inner"], "inner");
    const double outer = to_double(in["outer"], "outer");
    const runtime::MagnitudeBand band =
        refused_as_value_error("inner, outer", [&] { return explore::make_band(inner, outer); });
    ffi::require_memory(Bytes::doubles(shape[0]) * shape[1], "a perturbation");
    const auto m = static_cast<std::size_t>(shape[0]), n = static_cast<std::size_t>(shape[1]);
    std::vector<double> p(math::checked_size(m, n));
    explore::seeded_perturbation(seed, run, band, p);
    return ffi::array_from_vector(std::move(p), {m, n});
  });
}

PyMethodDef kFunctions[] = {
    {"run_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_batch)),
     METH_FASTCALL | METH_KEYWORDS,
     "run_batch(*, dynamic, eta, num_steps, base=None, seed=None, first_run=0, count=0, "
     "inner=0.0, outer=0.0, stack=None, normalize=False, x0=None, y0=None, metric='max_last', "
     "cutoff=0.1, keep=None, keep_steps=None, tolerances=(), progress=None)\n--\n\n"
     "Runs a batch of games and returns one record per run (see the stub for the fields)."},
    {"perturbation", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(perturbation)),
     METH_FASTCALL | METH_KEYWORDS,
     "perturbation(*, seed, run, shape, inner, outer)\n--\n\n"
     "The perturbation of run `run` of a study seeded with `seed`, as run_batch draws it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "ludovec_lab._engine",
    "The study layer's native entry: batches of runs with one record each, without the "
    "interpreter lock.",
    -1,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

Ref init_module() {
  Ref module = ffi::new_ref(PyModule_Create(&kModule));
  if (engine_error == nullptr) {
    engine_error = PyErr_NewExceptionWithDoc(
        "ludovec_lab._engine.EngineError",
        "A run met what the step rules stop on (NaN or infinite values); the message says which.",
        PyExc_RuntimeError, nullptr);
    if (engine_error == nullptr) throw PyErrAlreadySet{};
  }
  ffi::check_status(PyModule_AddObjectRef(module.get(), "EngineError", engine_error));
  return module;
}

}  // namespace
}  // namespace ludovec::lab_ffi

PyMODINIT_FUNC PyInit__engine() {
  return ludovec::lab_ffi::guarded([] { return ludovec::lab_ffi::init_module(); });
}
