#include "explore/batch.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <string>
#include <variant>

#include "explore/lane_driver.hpp"
#include "math/lanes.hpp"
#include "math/stop.hpp"
#include "optimizers/lane_steps.hpp"
#include "optimizers/small_steps.hpp"
#include "runtime/seeded_stream.hpp"

namespace ludovec::explore {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What a chunk of the batch shares: the batch, its settings, and where the results go.
struct BatchChunk {
  const GameBatch& batch;
  const optimizers::Optimizer& fresh;
  const BatchSettings& settings;
  std::span<RunRecord> out;
  std::span<KeptRun> kept;
  std::atomic<std::uint64_t>* progress;
};

// Writes run k's game into `a`; returns its record with the norms of its perturbation filled in.
RunRecord load_game(const GameBatch& b, std::size_t k, math::Matrix& a) {
  RunRecord r;
  if (!b.seeded && b.perturbations.empty()) {
    const math::MatrixView m = b.stack.matrix(k);
    for (std::size_t i = 0; i < b.rows; ++i)
      for (std::size_t j = 0; j < b.cols; ++j) a(i, j) = m.at(i, j);
    if (b.normalize) normalize_to_unit_range(a);
    return r;
  }
  if (b.seeded) {
    runtime::SeededStream stream(b.seeded->seed, b.seeded->first_run + k);
    runtime::draw_perturbation(stream, b.seeded->band, a.data(), a.size());
  } else {
    std::copy_n(b.perturbations.data() + k * a.size(), a.size(), a.data());
  }
  r.norm_max = max_norm(a.view());
  r.norm_infinity = infinity_norm(a.view());
  r.norm_frobenius = frobenius_norm(a.view());
  for (std::size_t i = 0; i < b.rows; ++i)
    for (std::size_t j = 0; j < b.cols; ++j) a(i, j) += b.base.at(i, j);
  return r;
}

// One player's start of run k: its own, the shared one, or uniform.
void load_start(std::span<const double> starts, std::size_t k, math::Vector& v) {
  const std::size_t n = v.size();
  if (starts.empty())
    std::fill(v.begin(), v.end(), 1.0 / static_cast<double>(n));
  else
    std::copy_n(starts.data() + (starts.size() == n ? 0 : k * n), n, v.begin());
}

void load_starts(const GameBatch& b, std::size_t k, domain::GameState& s) {
  load_start(b.x_starts, k, s.x);
  load_start(b.y_starts, k, s.y);
}

void add_progress(std::atomic<std::uint64_t>* progress, std::uint64_t n) noexcept {
  if (progress != nullptr && n > 0) progress->fetch_add(n, std::memory_order_relaxed);
}

// Run k, whose trajectory is kept, made alone by the general step rule in `s` (sized for the
// batch's games) into c.out[k] and `kept`. Returns false when the batch was abandoned first.
bool run_kept(const BatchChunk& c, std::size_t k, KeptRun& kept, domain::GameState& s,
              optimizers::Workspace& w, GapReducer& gaps, const runtime::BatchStop& stop) {
  const std::uint32_t num_steps = c.settings.num_steps;
  const KeepRequest& keep = c.settings.keep;
  RunRecord record = load_game(c.batch, k, s.a);
  load_starts(c.batch, k, s);
  optimizers::Optimizer opt = c.fresh;
  const std::size_t m = s.x.size(), n = s.y.size();
  kept = KeptRun{};
  kept.tolerance_steps.assign(keep.tolerances.size(), -1);
  const std::size_t room = std::min<std::size_t>(keep.steps.size(), num_steps) + 1;
  kept.steps.reserve(room);
  kept.gaps.reserve(room);
  kept.x.reserve(room * m);
  kept.y.reserve(room * n);
  kept.x_final = s.x;  // the strategies when the current step began
  kept.y_final = s.y;
  auto wanted = keep.steps.begin();
  std::uint32_t t = 0, told = 0;
  double gap = kNaN;
  bool converged = false;
  while (t < num_steps && !converged) {
    if (t > 0 && t % domain::kStepsBetweenPolls == 0) {
      add_progress(c.progress, t - told);
      told = t;
      if (stop.requested()) return false;
    }
    std::copy(s.x.begin(), s.x.end(), kept.x_final.begin());
    std::copy(s.y.begin(), s.y.end(), kept.y_final.begin());
    gap = optimizers::step(opt, s, w);
    gaps.record(t, gap);
    ++t;
    converged = gap < domain::kConvergenceThreshold;
    while (wanted != keep.steps.end() && *wanted < t) ++wanted;
    const bool last = converged || t == num_steps;
    if ((wanted != keep.steps.end() && *wanted == t) || last) {
      kept.steps.push_back(t);
      kept.gaps.push_back(gap);
      kept.x.insert(kept.x.end(), kept.x_final.begin(), kept.x_final.end());
      kept.y.insert(kept.y.end(), kept.y_final.begin(), kept.y_final.end());
    }
    for (std::size_t j = 0; j < keep.tolerances.size(); ++j)
      if (kept.tolerance_steps[j] < 0 && gap < keep.tolerances[j]) kept.tolerance_steps[j] = t;
  }
  if (converged) gaps.converged_at(t - 1, gap);
  record.steps = t;
  record.converged = converged;
  record.final_gap = gap;
  record.metric = gaps.finish();
  gaps.restart();
  c.out[k] = record;
  add_progress(c.progress, num_steps - told);
  return true;
}

// The runs [next, end) of a chunk, in whichever lane is free; kept runs are made alone as they
// come.
struct BatchRuns {
  const BatchChunk& c;
  std::size_t next, end;
  const runtime::BatchStop& stop;
  std::vector<GapReducer>& gaps;  // one per lane, and one for the kept runs
  optimizers::Workspace& workspace;
  std::array<RunRecord, kWidestExplorationLanes> records{};
  std::array<std::size_t, kWidestExplorationLanes> index{};

  // Position of run k among the kept runs, or nothing.
  std::optional<std::size_t> kept_position(std::size_t k) const {
    const auto& runs = c.settings.keep.runs;
    const auto it = std::lower_bound(runs.begin(), runs.end(), k);
    if (it == runs.end() || *it != k) return std::nullopt;
    return static_cast<std::size_t>(it - runs.begin());
  }

  bool start(std::size_t l, domain::GameState& s) {
    for (;;) {
      if (next == end || stop.requested()) return false;
      const std::optional<std::size_t> kept = kept_position(next);
      if (!kept) break;
      if (!run_kept(c, next, c.kept[*kept], s, workspace, gaps.back(), stop)) return false;
      ++next;
    }
    index[l] = next++;
    records[l] = load_game(c.batch, index[l], s.a);
    load_starts(c.batch, index[l], s);
    return true;
  }
  void record(std::size_t l, std::uint32_t t, double gap) noexcept { gaps[l].record(t, gap); }
  std::uint32_t quiet_steps(std::size_t l) const noexcept {
    return static_cast<std::uint32_t>(gaps[l].first_read());  // at most num_steps
  }
  void finish(std::size_t l, std::uint32_t steps, bool converged, double gap) {
    if (converged) gaps[l].converged_at(steps - 1, gap);
    RunRecord& r = records[l];
    r.steps = steps;
    r.converged = converged;
    r.final_gap = gap;
    r.metric = gaps[l].finish();
    c.out[index[l]] = r;
    gaps[l].restart();
  }
  void progressed(std::uint64_t n) const noexcept { add_progress(c.progress, n); }
};

// The runs [begin, end) in L lanes, for `Rule` and games of N x N (any shape when N is 0).
template <class Rule, std::size_t N, std::size_t L>
[[gnu::always_inline]] inline std::exception_ptr run_in_lanes(
    const BatchChunk& c, std::size_t begin, std::size_t end,
    const runtime::BatchStop& stop) noexcept {
  try {
    const std::size_t m = c.batch.rows, n = c.batch.cols;
    const std::uint32_t num_steps = c.settings.num_steps;
    domain::GameState scratch{math::Vector(m), math::Vector(n), math::Matrix(m, n)};
    optimizers::Workspace workspace;
    workspace.fit(m, n);
    // One per lane of the widest lane state (two groups, or one of eight), and one for the
    // kept runs.
    std::vector<GapReducer> gaps(kWidestExplorationLanes + 1,
                                 GapReducer(num_steps, c.settings.metric));
    BatchRuns runs{c, begin, end, stop, gaps, workspace};
    const Rule& fresh = std::get<Rule>(c.fresh.inner);
    if constexpr (N >= optimizers::kSmallGameMinActions && N <= optimizers::kSmallGameMaxActions) {
      optimizers::SmallRun<N, L> lanes{};  // small games live in registers
      drive_lanes<Rule, N>(lanes, fresh, scratch, workspace, num_steps, runs, stop);
    } else {
      optimizers::MemoryLanesFor<Rule, N, L> lanes(m, n);
      drive_lanes<Rule, N>(lanes, fresh, scratch, workspace, num_steps, runs, stop);
    }
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

template <class Rule, std::size_t N>
LUDOVEC_WIDE_VECTORS std::exception_ptr run_chunk(const BatchChunk& c, std::size_t begin,
                                                  std::size_t end,
                                                  const runtime::BatchStop& stop) noexcept {
  return run_in_lanes<Rule, N, kExplorationLanes>(c, begin, end, stop);
}

#ifdef LUDOVEC_WIDEST_VECTORS
template <class Rule, std::size_t N>
LUDOVEC_WIDEST_VECTORS std::exception_ptr run_widest_chunk(
    const BatchChunk& c, std::size_t begin, std::size_t end,
    const runtime::BatchStop& stop) noexcept {
  return run_in_lanes<Rule, N, kWidestLanesFor<N>>(c, begin, end, stop);
}
#endif

using ChunkRunner = std::exception_ptr (*)(const BatchChunk&, std::size_t, std::size_t,
                                           const runtime::BatchStop&) noexcept;

// The kernels for N x N games (games of any shape when N is 0); those beyond the register
// kernels' sizes compiled for AVX-512 where the processor has it.
template <std::size_t N>
ChunkRunner runner_of(const optimizers::Optimizer& optimizer) {
  return std::visit(
      []<class Rule>(const Rule&) -> ChunkRunner {
#ifdef LUDOVEC_WIDEST_VECTORS
        if constexpr (N == 0 || N > optimizers::kSmallGameMaxActions)
          if (math::widest_lanes_available()) return &run_widest_chunk<Rule, N>;
#endif
        return &run_chunk<Rule, N>;
      },
      optimizer.inner);
}

// The kernels compiled for the games' size when they are square and small, else the general ones.
ChunkRunner runner_for(std::size_t m, std::size_t n, const optimizers::Optimizer& optimizer) {
  switch (m == n ? n : 0) {
    case 2: return runner_of<2>(optimizer);
    case 3: return runner_of<3>(optimizer);
    case 4: return runner_of<4>(optimizer);
    case 5: return runner_of<5>(optimizer);
    case 6: return runner_of<6>(optimizer);
    case 7: return runner_of<7>(optimizer);
    case 8: return runner_of<8>(optimizer);
    case 9: return runner_of<9>(optimizer);
    case 10: return runner_of<10>(optimizer);
    case 11: return runner_of<11>(optimizer);
    case 12: return runner_of<12>(optimizer);
    default: return runner_of<0>(optimizer);
  }
}

[[noreturn]] void misfit(const char* what, std::size_t a, std::size_t b, const GameBatch& batch) {
  math::stop(std::string(what) + " of lengths " + std::to_string(a) + " and " + std::to_string(b) +
             " do not fit games of " + std::to_string(batch.rows) + " x " +
             std::to_string(batch.cols));
}

void check_fit(const GameBatch& batch, const optimizers::Optimizer& optimizer,
               const KeepRequest& keep) {
  const std::size_t m = batch.rows, n = batch.cols;
  std::visit(
      [&](const auto& o) {
        if (!optimizers::fits_lanes(o, m, n)) {
          const auto& [first, second, eta] = o;
          misfit("optimizer vectors", first.size(), second.size(), batch);
        }
      },
      optimizer.inner);
  if (batch.seeded) {
    if (batch.base.rows != m || batch.base.cols != n)
      misfit("a base matrix", batch.base.rows, batch.base.cols, batch);
  } else if (batch.perturbations.empty()) {
    if (batch.stack.count < batch.count || batch.stack.rows != m || batch.stack.cols != n)
      misfit("stacked matrices", batch.stack.rows, batch.stack.cols, batch);
  } else if (batch.perturbations.size() != batch.count * m * n || batch.base.rows != m ||
             batch.base.cols != n) {
    misfit("a base matrix", batch.base.rows, batch.base.cols, batch);
  }
  const auto fits = [&](std::size_t size, std::size_t len) {
    return size == 0 || size == len || size == batch.count * len;
  };
  if (!fits(batch.x_starts.size(), m) || !fits(batch.y_starts.size(), n))
    misfit("starts", batch.x_starts.size(), batch.y_starts.size(), batch);
  if (!std::is_sorted(keep.runs.begin(), keep.runs.end()) ||
      std::adjacent_find(keep.runs.begin(), keep.runs.end()) != keep.runs.end() ||
      (!keep.runs.empty() && keep.runs.back() >= batch.count))
    math::stop("kept runs must be sorted, unique and below the count of " +
               std::to_string(batch.count));
  if (!std::is_sorted(keep.steps.begin(), keep.steps.end()) ||
      std::adjacent_find(keep.steps.begin(), keep.steps.end()) != keep.steps.end() ||
      (!keep.steps.empty() && keep.steps.front() == 0))
    math::stop("kept steps must be sorted, unique and from 1");
}

}  // namespace

void seeded_perturbation(std::uint64_t seed, std::uint64_t run, const runtime::MagnitudeBand& band,
                         std::span<double> out) noexcept {
  runtime::SeededStream stream(seed, run);
  runtime::draw_perturbation(stream, band, out.data(), out.size());
}

BatchOutput run_game_batch(const GameBatch& batch, const optimizers::Optimizer& optimizer,
                           const BatchSettings& settings,
                           const runtime::BatchExecution& execution) {
  check_fit(batch, optimizer, settings.keep);
  BatchOutput result;
  result.records.resize(batch.count);
  result.kept.resize(settings.keep.runs.size());
  if (batch.count == 0) return result;
  const std::size_t m = batch.rows, n = batch.cols;
  if (settings.num_steps == 0) {  // nothing to step: a perturbation, an empty history
    domain::GameState s{math::Vector(m), math::Vector(n), math::Matrix(m, n)};
    const double empty_metric = metric_of_gaps({}, settings.metric);
    for (std::size_t k = 0; k < batch.count; ++k) {
      result.records[k] = load_game(batch, k, s.a);
      result.records[k].metric = empty_metric;
    }
    for (std::size_t i = 0; i < settings.keep.runs.size(); ++i) {
      load_starts(batch, settings.keep.runs[i], s);
      KeptRun& kept = result.kept[i];
      kept.x_final = s.x;
      kept.y_final = s.y;
      kept.tolerance_steps.assign(settings.keep.tolerances.size(), -1);
    }
    return result;
  }
  const BatchChunk chunk{batch,          optimizer,   settings,
                         result.records, result.kept, execution.progress};
  const ChunkRunner runner = runner_for(m, n, optimizer);
  auto body = [&](std::size_t begin, std::size_t end, const runtime::BatchStop& stop) {
    if (std::exception_ptr stopped = runner(chunk, begin, end, stop))
      std::rethrow_exception(stopped);
  };
  execution.resolve().for_each_chunk(batch.count, body, execution.cancel, kWidestExplorationLanes);
  return result;
}

}  // namespace ludovec::explore
