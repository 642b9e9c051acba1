// The worker pool: sizing rules, ordered results, failure propagation, cancellation, fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "runtime/pool_size.hpp"
#include "runtime/worker_pool.hpp"

namespace ludovec::runtime {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

TEST(PoolSize, EnvironmentAffinityAndQuota) {
  using Env = std::map<std::string, std::string>;
  struct Case {
    const char* name;
    Env env;
    std::size_t affinity;
    std::optional<std::size_t> quota;
    std::size_t expected;
  } cases[] = {
      {"processors", {}, 8, std::nullopt, 8},
      {"quota below the affinity set", {}, 8, 3, 3},
      {"quota above the affinity set", {}, 2, 5, 2},
      {"no processors reported", {}, 0, std::nullopt, 1},
      {"threads", {{"RAYON_NUM_THREADS", "4"}}, 8, std::nullopt, 4},
      {"threads beyond the processors", {{"RAYON_NUM_THREADS", "64"}}, 2, 1, 64},
      {"leading plus", {{"RAYON_NUM_THREADS", "+4"}}, 8, std::nullopt, 4},
      {"zero threads: processors, not the cpu variable",
       {{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "3"}},
       8,
       6,
       6},
      {"cpus when threads unset", {{"RAYON_RS_NUM_CPUS", "3"}}, 8, std::nullopt, 3},
      {"cpus with plus", {{"RAYON_RS_NUM_CPUS", "+2"}}, 8, std::nullopt, 2},
      {"zero cpus", {{"RAYON_RS_NUM_CPUS", "0"}}, 8, std::nullopt, 8},
      {"unparsable cpus", {{"RAYON_RS_NUM_CPUS", "two"}}, 8, std::nullopt, 8},
  };
  for (const Case& c : cases) {
    const EnvLookup env = [&](const char* name) -> std::optional<std::string_view> {
      const auto it = c.env.find(name);
      return it == c.env.end() ? std::nullopt : std::optional<std::string_view>(it->second);
    };
    EXPECT_EQ(decide_pool_size(env, c.affinity, c.quota), c.expected) << c.name;
  }
}

TEST(PoolSize, UnparsableThreadsFallThroughToCpus) {
  for (const char* text :
       {"", " 4", "4 ", "4x", "-1", "++4", "+", "0x10", "1e3", "99999999999999999999999999"}) {
    const EnvLookup env = [&](const char* name) -> std::optional<std::string_view> {
      if (std::string_view(name) == "RAYON_NUM_THREADS") return text;
      return "5";
    };
    EXPECT_EQ(decide_pool_size(env, 8, std::nullopt), 5u) << '"' << text << '"';
  }
  EXPECT_EQ(parse_thread_count("007"), 7u);
  EXPECT_EQ(parse_thread_count("+0"), 0u);
}

TEST(PoolSize, CgroupQuotaTexts) {
  EXPECT_EQ(cgroup2_cpu_limit("max 100000\n"), std::nullopt);
  EXPECT_EQ(cgroup2_cpu_limit("200000 100000\n"), 2u);
  EXPECT_EQ(cgroup2_cpu_limit("250000 100000"), 2u);  // rounded down
  EXPECT_EQ(cgroup2_cpu_limit("50000 100000"), 1u);   // at least one
  EXPECT_EQ(cgroup2_cpu_limit("garbage"), std::nullopt);
  EXPECT_EQ(cgroup2_cpu_limit("100000 0"), std::nullopt);
  EXPECT_EQ(cgroup1_cpu_limit("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cgroup1_cpu_limit("350000\n", "100000\n"), 3u);
  EXPECT_EQ(cgroup1_cpu_limit("", "100000"), std::nullopt);
  EXPECT_GE(affinity_cpu_count(), 1u);
}

// Which context ran each index, and in what order each context ran them.
struct Trace {
  std::mutex mutex;
  std::vector<int> context_of;
  std::map<int, std::vector<std::size_t>> runs_of;
};

TEST(WorkerPool, ChunksShrinkTowardsTheEndInMultiplesOfTheGrain) {
  for (const auto& [workers, count, grain] :
       {std::tuple<std::size_t, std::size_t, std::size_t>{2, 20000, 8}, {3, 1001, 4}, {1, 5, 8}}) {
    WorkerPool pool(workers);
    std::mutex mutex;
    std::map<std::size_t, std::size_t> chunks;  // begin -> end
    auto body = [&](std::size_t begin, std::size_t end, const BatchStop&) {
      std::lock_guard lock(mutex);
      chunks[begin] = end;
    };
    pool.for_each_chunk(count, body, {}, grain);
    std::size_t covered = 0, previous = count;
    for (const auto& [begin, end] : chunks) {
      ASSERT_EQ(begin, covered) << "chunks tile the batch";
      const std::size_t size = end - begin;
      if (end < count) {
        EXPECT_EQ(size % grain, 0u) << begin;
        EXPECT_LE(size, previous) << "no chunk is larger than one before it";
      }
      previous = size;
      covered = end;
    }
    EXPECT_EQ(covered, count);
    if (count >= 1000) {
      EXPECT_LE(chunks.begin()->second, count / workers) << "the first chunk leaves work to share";
      EXPECT_LE(previous, grain) << "the batch ends on small chunks";
    }
  }
}

TEST(WorkerPool, ResultsLandByIndexInConsecutiveChunks) {
  for (std::size_t workers : {1u, 3u}) {
    WorkerPool pool(workers);
    ASSERT_EQ(pool.size(), workers);
    for (std::size_t count : {1u, 7u, 1000u}) {
      std::atomic<int> contexts{0};
      Trace trace;
      trace.context_of.assign(count, -1);
      std::vector<std::size_t> out(count, 0);
      fill_by_index(
          BatchExecution{&pool, {}}, std::span<std::size_t>(out), [&] { return contexts++; },
          [&](int& context, std::size_t i) {
            std::lock_guard lock(trace.mutex);
            trace.context_of[i] = context;
            trace.runs_of[context].push_back(i);
            return i * i + 1;
          });
      for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(out[i], i * i + 1) << i;
      for (const auto& [context, runs] : trace.runs_of)
        for (std::size_t k = 1; k < runs.size(); ++k)
          ASSERT_EQ(runs[k], runs[k - 1] + 1) << "a chunk is consecutive and runs in order";
      EXPECT_GE(contexts.load(), 1);
      if (count >= 100) {
        EXPECT_LT(static_cast<std::size_t>(contexts.load()), count)
            << "contexts are per chunk, not per run";
      }
    }
  }
}

TEST(WorkerPool, FirstFailureReachesTheCallerAndThePoolSurvives) {
  WorkerPool pool(3);
  std::atomic<std::size_t> ran{0};
  std::vector<int> out(5000, 0);
  try {
    fill_by_index(
        BatchExecution{&pool, {}}, std::span<int>(out), [] { return 0; },
        [&](int&, std::size_t i) -> int {
          ++ran;
          if (i >= 40) throw std::runtime_error("run " + std::to_string(i) + " failed");
          return 1;
        });
    ADD_FAILURE() << "the failure must reach the caller";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("run ", 0), 0u) << e.what();
  }
  EXPECT_LT(ran.load(), out.size()) << "chunks after the failure are skipped";

  // Memory exhaustion in a worker is reported, not fatal, and keeps its type.
  auto exhausted = [](std::size_t, std::size_t, const BatchStop&) { throw std::bad_alloc(); };
  EXPECT_THROW(pool.for_each_chunk(10, exhausted), std::bad_alloc);

  std::vector<int> again(100, 0);
  fill_by_index(
      BatchExecution{&pool, {}}, std::span<int>(again), [] { return 0; },
      [](int&, std::size_t i) { return static_cast<int>(i); });
  for (std::size_t i = 0; i < again.size(); ++i) ASSERT_EQ(again[i], static_cast<int>(i));
}

struct HookFailure {};

TEST(WorkerPool, CancellationStopsAtARunBoundary) {
  WorkerPool pool(2);
  const auto submitter = std::this_thread::get_id();
  struct Case {
    const char* name;
    bool hook_throws;
  } cases[] = {{"hook returns true", false}, {"hook throws", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<std::size_t> ran{0};
    std::atomic<bool> hook_on_submitter{true};
    const CancelHook hook = [&] {
      if (std::this_thread::get_id() != submitter) hook_on_submitter = false;
      if (c.hook_throws) throw HookFailure{};
      return true;
    };
    auto body = [&](std::size_t begin, std::size_t end, const BatchStop& stop) {
      for (std::size_t i = begin; i < end && !stop.requested(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ++ran;
      }
    };
    if (c.hook_throws) {
      EXPECT_THROW(pool.for_each_chunk(100000, body, hook), HookFailure);
    } else {
      EXPECT_THROW(pool.for_each_chunk(100000, body, hook), Cancelled);
    }
    EXPECT_GT(ran.load(), 0u);
    EXPECT_LT(ran.load(), 100000u);
    EXPECT_TRUE(hook_on_submitter.load());
  }
}

TEST(WorkerPool, HookThatNeverCancelsLetsTheBatchFinish) {
  WorkerPool pool(2);
  std::atomic<int> asked{0};
  const CancelHook hook = [&] { return ++asked, false; };
  std::atomic<std::size_t> ran{0};
  auto body = [&](std::size_t begin, std::size_t end, const BatchStop&) {
    for (std::size_t i = begin; i < end; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++ran;
    }
  };
  pool.for_each_chunk(100, body, hook);  // about 250 ms of work: the hook is asked
  EXPECT_EQ(ran.load(), 100u);
  EXPECT_GE(asked.load(), 1);
}

TEST(WorkerPool, ConcurrentSubmissionsAreServedOneAfterTheOther) {
  WorkerPool pool(2);
  std::vector<std::vector<std::size_t>> outs(4, std::vector<std::size_t>(2000));
  std::vector<std::thread> submitters;
  for (std::size_t s = 0; s < outs.size(); ++s)
    submitters.emplace_back([&, s] {
      fill_by_index(
          BatchExecution{&pool, {}}, std::span<std::size_t>(outs[s]), [] { return 0; },
          [s](int&, std::size_t i) { return i + s * 100000; });
    });
  for (auto& t : submitters) t.join();
  for (std::size_t s = 0; s < outs.size(); ++s)
    for (std::size_t i = 0; i < outs[s].size(); ++i) ASSERT_EQ(outs[s][i], i + s * 100000);
}

TEST(WorkerPool, AForkedChildBuildsItsOwnProcessPool) {
  if (kThreadSanitizer) GTEST_SKIP() << "threads cannot start after a fork under this sanitizer";
  WorkerPool& parent_pool = process_pool();
  std::vector<int> warm(10);
  fill_by_index(
      BatchExecution{}, std::span<int>(warm), [] { return 0; },
      [](int&, std::size_t i) { return static_cast<int>(i); });
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // The parent's workers did not survive: a pool that reused them would hang here, until
    // the alarm ends the child and fails the test.
    alarm(30);
    std::vector<int> out(50);
    fill_by_index(
        BatchExecution{}, std::span<int>(out), [] { return 0; },
        [](int&, std::size_t i) { return static_cast<int>(2 * i); });
    bool ok = true;
    for (std::size_t i = 0; i < out.size(); ++i) ok = ok && out[i] == static_cast<int>(2 * i);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(&process_pool(), &parent_pool) << "the parent keeps its pool";
}

}  // namespace
}  // namespace ludovec::runtime
