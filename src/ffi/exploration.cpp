#include "ffi/exploration.hpp"

#include <pthread.h>

#include <algorithm>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "explore/engine.hpp"
#include "explore/neighborhood.hpp"
#include "explore/orchestrator.hpp"
#include "explore/types.hpp"
#include "ffi/args.hpp"
#include "ffi/borrow.hpp"
#include "ffi/convert.hpp"
#include "ffi/game.hpp"
#include "ffi/memory_budget.hpp"
#include "ffi/numpy.hpp"
#include "ffi/optimizer.hpp"
#include "ffi/type_builder.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::ffi {
namespace {

// The interpreter thread running a batch, if any (read and written under the interpreter lock).
// While it waits, Python code can still run: signal handlers on that thread (through the
// Ctrl-C check), and other threads whenever such a handler lets the interpreter lock go.
std::thread::id exploring_thread{};

// A child forked while a batch waits (by another thread, while a signal handler let the lock
// go) has only the forking thread, which is not exploring: it must not wait for the marker.
void forget_exploring_thread_in_child() noexcept { exploring_thread = {}; }

// The process-wide pool, started if need be: a pool that cannot start raises RuntimeError with
// the reason, and one smaller than its environment variable asked for says so once, as a
// RuntimeWarning.
void ensure_pool() {
  static const bool fork_handler = [] {
    if (pthread_atfork(nullptr, nullptr, &forget_exploring_thread_in_child) != 0)
      throw std::bad_alloc();  // its only failure: no memory for the handler
    return true;
  }();
  (void)fork_handler;
  try {
    (void)runtime::process_pool();
  } catch (const runtime::PoolStartError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    throw PyErrAlreadySet{};
  }
  if (const auto notice = runtime::take_pool_size_notice())
    if (PyErr_WarnEx(PyExc_RuntimeWarning, notice->c_str(), 1) < 0) throw PyErrAlreadySet{};
}

// Holds the pool for one exploration call, and connects its wait to Ctrl-C: signals are
// checked on this thread about every 100 ms, and a pending KeyboardInterrupt (or whatever a
// Python signal handler raises) cancels the batch at the next run boundary and propagates.
class ExplorationSession {
 public:
  ExplorationSession() {
    ensure_pool();
    const auto me = std::this_thread::get_id();
    if (exploring_thread == me) {
      PyErr_SetString(PyExc_RuntimeError,
                      "an exploration cannot start while another one runs on the same thread "
                      "(from a signal handler)");
      throw PyErrAlreadySet{};
    }
    // Another thread's exploration is waiting on its batch: let it finish without the lock.
    while (exploring_thread != std::thread::id{}) {
      Py_BEGIN_ALLOW_THREADS std::this_thread::sleep_for(std::chrono::milliseconds(1));
      Py_END_ALLOW_THREADS
    }
    exploring_thread = me;
    execution_.cancel = [] {
      if (PyErr_CheckSignals() < 0) throw PyErrAlreadySet{};
      return false;
    };
  }
  ~ExplorationSession() { exploring_thread = {}; }
  ExplorationSession(const ExplorationSession&) = delete;
  ExplorationSession& operator=(const ExplorationSession&) = delete;

  const runtime::BatchExecution& execution() const noexcept { return execution_; }

 private:
  runtime::BatchExecution execution_;
};

// The whole message, NUL characters of a caller's name included.
[[noreturn]] void raise(PyObject* type, const std::string& message) {
  Ref text = new_ref(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyErr_SetObject(type, text.get());
  throw PyErrAlreadySet{};
}

template <class T>
T value_or_value_error(math::Result<T>&& result) {
  if (!result.has_value()) raise(PyExc_ValueError, result.error());
  return std::move(result).value();
}

// The caller's arrays are copied as soon as they are converted: converting a later argument
// can run Python code (__index__, __float__), and so can a signal handler during the wait,
// and either could resize or free the array a view points into.
math::Matrix private_matrix_copy(PyObject* obj) {
  const math::MatrixView view = to_matrix_view(obj);
  require_memory(
      Bytes::doubles(view.rows) * view.cols,
      "a copy of a " + std::to_string(view.rows) + " x " + std::to_string(view.cols) + " matrix");
  return math::Matrix::copy_of(view);
}

// A stack of matrices copied into one contiguous buffer, matrix after matrix, row-major.
struct StackCopy {
  math::Vector data;
  std::size_t count = 0, rows = 0, cols = 0;

  explore::MatrixStackView view() const noexcept {
    const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto c = static_cast<std::ptrdiff_t>(cols);
    return {reinterpret_cast<const std::byte*>(data.data()), count, rows, cols,
            static_cast<std::ptrdiff_t>(rows) * c * d,       c * d, d};
  }
};

StackCopy private_stack_copy(PyObject* obj) {
  const StackView view = to_stack_view(obj);
  require_memory(Bytes::doubles(view.count) * view.rows * view.cols,
                 "a copy of a stack of " + std::to_string(view.count) + " matrices of " +
                     std::to_string(view.rows) + " x " + std::to_string(view.cols));
  StackCopy copy{
      math::Vector(math::checked_size(view.count, math::checked_size(view.rows, view.cols))),
      view.count, view.rows, view.cols};
  std::size_t k = 0;
  for (std::size_t i = 0; i < view.count; ++i)
    for (std::size_t r = 0; r < view.rows; ++r)
      for (std::size_t c = 0; c < view.cols; ++c) copy.data[k++] = view.matrix(i).at(r, c);
  return copy;
}

// What one batch of `runs` perturbed runs holds at once: a result per run, and the context
// that each worker builds when the batch starts: its working matrix, and on small square games
// what the metric reads of each lane's gap history, else the whole history of its run. A batch
// of no runs still builds one state from the base matrix.
Bytes batch_memory(const math::Matrix& base, const optimizers::Optimizer& optimizer,
                   std::uint32_t runs, std::uint32_t num_steps,
                   const explore::MetricMethod& metric) {
  if (runs == 0) return Bytes::doubles(base.size());
  ensure_pool();
  const std::size_t contexts = std::min<std::size_t>(runs, runtime::process_pool().size());
  const Bytes gaps = explore::LaneExploration::applies(base.view(), optimizer)
                         ? Bytes::doubles(explore::GapReducer::held(num_steps, metric)) *
                               explore::kWidestExplorationLanes
                         : Bytes::doubles(num_steps);
  return Bytes(sizeof(explore::RandomGameResult)) * runs +
         (Bytes::doubles(base.size()) + gaps) * contexts;
}

// "4 runs of 20 steps on a 2 x 2 game", for refusals.
std::string batch_text(const math::Matrix& base, std::uint64_t runs, std::uint32_t num_steps) {
  return std::to_string(runs) + " runs of " + std::to_string(num_steps) + " steps on a " +
         std::to_string(base.rows()) + " x " + std::to_string(base.cols()) + " game";
}

constexpr double kDefaultCutoff = 0.1;

// The parameters shared by the two random explorations, converted in parameter order with
// the mode-specific seventh one in between.
struct RandomArguments {
  math::Matrix a_delta;
  optimizers::Optimizer optimizer;
  std::uint32_t num_exploration, num_steps;
  double inner_radius, outer_radius;
  std::string metric_method;
  double cutoff;
};

template <class Mode>
std::pair<RandomArguments, Mode> convert_random(const Arguments& in,
                                                Mode (*convert_mode)(PyObject*)) {
  math::Matrix a_delta = in.convert(0, private_matrix_copy);
  optimizers::Optimizer optimizer = in.convert(1, clone_optimizer_arg);
  const std::uint32_t num_exploration = in.convert(2, to_u32);
  const std::uint32_t num_steps = in.convert(3, to_u32);
  const double inner_radius = in.convert(4, to_f64);
  const double outer_radius = in.convert(5, to_f64);
  Mode mode = in.convert(6, convert_mode);
  std::string metric_method = in.convert(7, to_str);
  const double cutoff = in.given(8) ? in.convert(8, to_f64) : kDefaultCutoff;
  return {RandomArguments{std::move(a_delta), std::move(optimizer), num_exploration, num_steps,
                          inner_radius, outer_radius, std::move(metric_method), cutoff},
          std::move(mode)};
}

explore::ExplorationConfig config_of(const RandomArguments& args, explore::MetricMethod metric) {
  return {std::move(metric), args.num_exploration, args.num_steps, args.inner_radius,
          args.outer_radius};
}

constexpr Parameter kScatteredParameters[] = {{"a_delta"},   {"optimizer"},     {"num_exploration"},
                                              {"num_steps"}, {"inner_radius"},  {"outer_radius"},
                                              {"norm_str"},  {"metric_method"}, {"cutoff", false}};
constexpr Signature kScatteredSignature{"scattered_exploration()", kScatteredParameters};

PyObject* scattered_exploration(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept {
  return guarded([&] {
    const Arguments in = Arguments::parse(kScatteredSignature, args, nargsf, kwnames);
    const auto [a, norm_str] = convert_random(in, to_str);
    // Names are examined after every conversion succeeded: the metric first, then the norm.
    const auto metric =
        value_or_value_error(explore::parse_metric_method(a.metric_method, a.cutoff));
    const auto norm = value_or_value_error(explore::parse_norm_type(norm_str));
    // Besides the batch: the native norms and metrics, then the arrays built from them.
    require_memory(
        batch_memory(a.a_delta, a.optimizer, a.num_exploration, a.num_steps, metric) +
            Bytes::doubles(a.num_exploration) * 2,
        "scattered_exploration() of " + batch_text(a.a_delta, a.num_exploration, a.num_steps));
    explore::ScatteredOutput scattered;
    {
      ExplorationSession session;
      scattered = explore::scattered_exploration(a.a_delta.view(), a.optimizer,
                                                 config_of(a, metric), norm, session.execution());
    }
    const std::size_t runs = scattered.norms.size();
    Ref norms = array_from_vector(std::move(scattered.norms), {runs});
    Ref metrics = array_from_vector(std::move(scattered.metrics), {runs});
    return new_instance(scattered_output_type(),
                        PyScatteredOutput{std::move(norms), std::move(metrics)});
  });
}

constexpr Parameter kConcentricParameters[] = {
    {"a_delta"},      {"optimizer"},  {"num_exploration"}, {"num_steps"},    {"inner_radius"},
    {"outer_radius"}, {"num_slices"}, {"metric_method"},   {"cutoff", false}};
constexpr Signature kConcentricSignature{"concentric_exploration()", kConcentricParameters};

// Copies `flat` into a new (rows, cols) array, or RuntimeError when it does not fit the shape.
Ref shaped_copy(const math::Vector& flat, std::size_t rows, std::size_t cols) {
  if (flat.size() != math::checked_size(rows, cols))
    raise(PyExc_RuntimeError, "cannot shape " + std::to_string(flat.size()) + " values as (" +
                                  std::to_string(rows) + ", " + std::to_string(cols) + ")");
  return array_copy(flat, {rows, cols});
}

PyObject* concentric_exploration(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) noexcept {
  return guarded([&] {
    const Arguments in = Arguments::parse(kConcentricSignature, args, nargsf, kwnames);
    const auto [a, num_slices] = convert_random(in, to_u32);
    const auto metric =
        value_or_value_error(explore::parse_metric_method(a.metric_method, a.cutoff));
    if (num_slices != 0) {
      // One batch at a time, beside the boundaries and the metrics of every slice, which are
      // held natively, flattened, and copied into the arrays.
      const std::uint32_t per_slice = a.num_exploration / num_slices;
      require_memory(batch_memory(a.a_delta, a.optimizer, per_slice, a.num_steps, metric) +
                         Bytes::doubles(num_slices) * 4 +
                         Bytes::doubles(std::uint64_t{per_slice} * num_slices) * 3,
                     "concentric_exploration() of " + std::to_string(num_slices) + " slices of " +
                         batch_text(a.a_delta, per_slice, a.num_steps));
    }
    explore::ConcentricOutput concentric;
    {
      ExplorationSession session;
      concentric = explore::concentric_exploration(
          a.a_delta.view(), a.optimizer, config_of(a, metric), num_slices, session.execution());
    }
    math::Vector bounds, metrics;
    bounds.reserve(2 * concentric.slice_boundaries.size());
    for (auto [lower, upper] : concentric.slice_boundaries) {
      bounds.push_back(lower);
      bounds.push_back(upper);
    }
    for (const math::Vector& slice : concentric.metrics)
      metrics.insert(metrics.end(), slice.begin(), slice.end());
    const std::size_t per_slice = num_slices == 0 ? 0 : a.num_exploration / num_slices;
    Ref boundaries = shaped_copy(bounds, num_slices, 2);
    Ref metric_array = shaped_copy(metrics, num_slices, per_slice);
    return new_instance(concentric_output_type(),
                        PyConcentricOutput{std::move(boundaries), std::move(metric_array)});
  });
}

constexpr Parameter kNeighborhoodParameters[] = {
    {"matrices"}, {"optimizer"}, {"num_steps"}, {"normalize_matrix"}};
constexpr Signature kNeighborhoodSignature{"neighborhood_exploration()", kNeighborhoodParameters};

PyObject* neighborhood_exploration(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) noexcept {
  return guarded([&] {
    const Arguments in = Arguments::parse(kNeighborhoodSignature, args, nargsf, kwnames);
    const StackCopy stack = in.convert(0, private_stack_copy);
    const optimizers::Optimizer optimizer = in.convert(1, clone_optimizer_arg);
    const std::uint32_t num_steps = in.convert(2, to_u32);
    const bool normalize = in.convert(3, to_bool);
    // Every run keeps its full histories until the list is built; its strategies have two
    // entries each (x_history, y_history and gaps_history: five values per step).
    require_memory(Bytes::doubles(num_steps) * 5 * stack.count,
                   "neighborhood_exploration() of " + std::to_string(stack.count) + " runs of " +
                       std::to_string(num_steps) + " steps");
    std::vector<domain::GameResult> results = [&] {
      ExplorationSession session;
      return explore::neighborhood_exploration(stack.view(), optimizer, num_steps, normalize,
                                               session.execution());
    }();
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      wrap_game_result(std::move(results[i])).release());
    return list;
  });
}

template <class Record, Ref Record::*field>
PyObject* stored_array_getter(PyObject* self, void*) noexcept {
  return guarded([&] {
    auto* instance = instance_cast<Record>(self);
    SharedBorrow borrow{instance->borrow_flag};
    return Ref::borrow((instance->record.*field).get());
  });
}

PyGetSetDef scattered_getters[] = {
    {"norms", stored_array_getter<PyScatteredOutput, &PyScatteredOutput::norms>, nullptr, "",
     nullptr},
    {"metrics", stored_array_getter<PyScatteredOutput, &PyScatteredOutput::metrics>, nullptr, "",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef concentric_getters[] = {
    {"slice_boundaries",
     stored_array_getter<PyConcentricOutput, &PyConcentricOutput::slice_boundaries>, nullptr, "",
     nullptr},
    {"metrics", stored_array_getter<PyConcentricOutput, &PyConcentricOutput::metrics>, nullptr, "",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef scattered_definition = {
    "scattered_exploration", as_cfunction(scattered_exploration), METH_FASTCALL | METH_KEYWORDS,
    "scattered_exploration(a_delta, optimizer, num_exploration, num_steps, inner_radius, "
    "outer_radius, norm_str, metric_method, cutoff=0.1)\n--\n\n"};
PyMethodDef concentric_definition = {
    "concentric_exploration", as_cfunction(concentric_exploration), METH_FASTCALL | METH_KEYWORDS,
    "concentric_exploration(a_delta, optimizer, num_exploration, num_steps, inner_radius, "
    "outer_radius, num_slices, metric_method, cutoff=0.1)\n--\n\n"};
PyMethodDef neighborhood_definition = {
    "neighborhood_exploration", as_cfunction(neighborhood_exploration),
    METH_FASTCALL | METH_KEYWORDS,
    "neighborhood_exploration(matrices, optimizer, num_steps, normalize_matrix)\n--\n\n"};

PyTypeObject* scattered_output_type_ = nullptr;   // process lifetime
PyTypeObject* concentric_output_type_ = nullptr;  // process lifetime

}  // namespace

PyTypeObject* scattered_output_type() {
  if (scattered_output_type_ == nullptr)
    scattered_output_type_ = build_class<PyScatteredOutput>(
        {"builtins.PyScatteredOutput", nullptr, nullptr, scattered_getters, nullptr});
  return scattered_output_type_;
}

PyTypeObject* concentric_output_type() {
  if (concentric_output_type_ == nullptr)
    concentric_output_type_ = build_class<PyConcentricOutput>(
        {"builtins.PyConcentricOutput", nullptr, nullptr, concentric_getters, nullptr});
  return concentric_output_type_;
}

PyMethodDef* scattered_exploration_definition() { return &scattered_definition; }
PyMethodDef* concentric_exploration_definition() { return &concentric_definition; }
PyMethodDef* neighborhood_exploration_definition() { return &neighborhood_definition; }

}  // namespace ludovec::ffi
