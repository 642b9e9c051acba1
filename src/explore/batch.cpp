#include "explore/batch.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <string>
#include <variant>

#include "explore/lane_driver.hpp"
#include "math/lanes.hpp"
#include "math/stop.hpp"
#include "optimizers/lane_steps.hpp"

namespace ludovec::explore {

namespace {

// What a chunk of the batch shares: the batch, its settings, and where the records go.
struct BatchChunk {
  const GameBatch& batch;
  std::uint32_t num_steps;
  const MetricMethod& metric;
  NormFunction norm;
  std::span<RunRecord> out;
};

// Writes run k's game into `a` and returns the norm of its perturbation (or of its matrix).
double load_game(const GameBatch& b, std::size_t k, math::Matrix& a, NormFunction norm) {
  double* entry = a.data();
  if (b.perturbations.empty()) {
    const math::MatrixView m = b.stack.matrix(k);
    for (std::size_t i = 0; i < b.rows; ++i)
      for (std::size_t j = 0; j < b.cols; ++j) a(i, j) = m.at(i, j);
    return norm(a.view());
  }
  std::copy_n(b.perturbations.data() + k * a.size(), a.size(), entry);
  const double perturbation_norm = norm(a.view());
  for (std::size_t i = 0; i < b.rows; ++i)
    for (std::size_t j = 0; j < b.cols; ++j) a(i, j) += b.base.at(i, j);
  return perturbation_norm;
}

void load_starts(const GameBatch& b, std::size_t k, domain::GameState& s) {
  if (b.x_starts.empty()) {
    std::fill(s.x.begin(), s.x.end(), 1.0 / static_cast<double>(b.rows));
    std::fill(s.y.begin(), s.y.end(), 1.0 / static_cast<double>(b.cols));
    return;
  }
  std::copy_n(b.x_starts.data() + k * b.rows, b.rows, s.x.begin());
  std::copy_n(b.y_starts.data() + k * b.cols, b.cols, s.y.begin());
}

// The runs [next, end) of a chunk, in whichever lane is free.
struct BatchRuns {
  const BatchChunk& c;
  std::size_t next, end;
  const runtime::BatchStop& stop;
  std::vector<GapReducer>& gaps;
  std::array<std::size_t, kExplorationLanes> index{};
  std::array<double, kExplorationLanes> norm{};

  bool start(std::size_t l, domain::GameState& s) {
    if (next == end || stop.requested()) return false;
    index[l] = next++;
    norm[l] = load_game(c.batch, index[l], s.a, c.norm);
    load_starts(c.batch, index[l], s);
    return true;
  }
  void record(std::size_t l, std::uint32_t t, double gap) noexcept { gaps[l].record(t, gap); }
  void finish(std::size_t l, std::uint32_t steps, bool converged, double gap) {
    if (converged) gaps[l].converged_at(steps - 1, gap);
    c.out[index[l]] = {steps, converged, gap, gaps[l].finish(), norm[l]};
    gaps[l].restart();
  }
};

// The runs [begin, end) in lanes, for `Rule` and games of N x N (any shape when N is 0).
template <class Rule, std::size_t N>
LUDOVEC_WIDE_VECTORS std::exception_ptr run_chunk(const BatchChunk& c, const Rule& fresh,
                                                  std::size_t begin, std::size_t end,
                                                  const runtime::BatchStop& stop) noexcept {
  try {
    const std::size_t m = c.batch.rows, n = c.batch.cols;
    domain::GameState scratch{math::Vector(m), math::Vector(n), math::Matrix(m, n)};
    optimizers::Workspace workspace;
    workspace.fit(m, n);
    std::vector<GapReducer> gaps(kExplorationLanes, GapReducer(c.num_steps, c.metric));
    optimizers::MemoryLanes<kExplorationLanes> lanes(m, n);
    BatchRuns runs{c, begin, end, stop, gaps};
    drive_lanes<Rule, N>(lanes, fresh, scratch, workspace, c.num_steps, runs, stop);
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

using ChunkRunner = std::exception_ptr (*)(const BatchChunk&, const optimizers::Optimizer&,
                                           std::size_t, std::size_t,
                                           const runtime::BatchStop&) noexcept;

template <class Rule, std::size_t N>
std::exception_ptr run_rule(const BatchChunk& c, const optimizers::Optimizer& fresh,
                            std::size_t begin, std::size_t end,
                            const runtime::BatchStop& stop) noexcept {
  return run_chunk<Rule, N>(c, std::get<Rule>(fresh.inner), begin, end, stop);
}

template <std::size_t N>
ChunkRunner runner_of(const optimizers::Optimizer& optimizer) {
  return std::visit([]<class Rule>(const Rule&) -> ChunkRunner { return &run_rule<Rule, N>; },
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

}  // namespace

std::vector<RunRecord> run_game_batch(const GameBatch& batch,
                                      const optimizers::Optimizer& optimizer,
                                      std::uint32_t num_steps, const MetricMethod& metric,
                                      NormFunction norm, const runtime::BatchExecution& execution) {
  const std::size_t m = batch.rows, n = batch.cols;
  std::visit(
      [&](const auto& o) {
        if (!optimizers::fits_lanes(o, m, n)) {
          const auto& [first, second, eta] = o;
          misfit("optimizer vectors", first.size(), second.size(), batch);
        }
      },
      optimizer.inner);
  if (batch.perturbations.empty()) {
    if (batch.stack.count < batch.count || batch.stack.rows != m || batch.stack.cols != n)
      misfit("stacked matrices", batch.stack.rows, batch.stack.cols, batch);
  } else if (batch.perturbations.size() != batch.count * m * n || batch.base.rows != m ||
             batch.base.cols != n) {
    misfit("a base matrix", batch.base.rows, batch.base.cols, batch);
  }
  if (!batch.x_starts.empty() || !batch.y_starts.empty()) {
    if (batch.x_starts.size() != batch.count * m || batch.y_starts.size() != batch.count * n)
      misfit("starts", batch.x_starts.size(), batch.y_starts.size(), batch);
  }
  std::vector<RunRecord> out(batch.count);
  if (out.empty()) return out;
  const optimizers::Optimizer& fresh = optimizer;
  const BatchChunk chunk{batch, num_steps, metric, norm, out};
  if (num_steps == 0) {  // nothing to step: a perturbation, an empty history
    math::Matrix a(m, n);
    for (std::size_t k = 0; k < out.size(); ++k)
      out[k] = {0, false, std::numeric_limits<double>::quiet_NaN(), metric_of_gaps({}, metric),
                load_game(batch, k, a, norm)};
    return out;
  }
  const ChunkRunner runner = runner_for(m, n, fresh);
  auto body = [&](std::size_t begin, std::size_t end, const runtime::BatchStop& stop) {
    if (std::exception_ptr stopped = runner(chunk, fresh, begin, end, stop))
      std::rethrow_exception(stopped);
  };
  execution.resolve().for_each_chunk(out.size(), body, execution.cancel);
  return out;
}

}  // namespace ludovec::explore
