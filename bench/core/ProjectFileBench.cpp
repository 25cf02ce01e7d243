// Save and load of a project of 1,000,000 entries with 3 extra columns.
// Prints time and throughput of each direction (file bytes per second) and
// the peak heap bytes per loaded entry, counted by the allocator below.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "core/ProjectFile.h"
#include "core/RecipientList.h"

namespace {
std::size_t gCurrent = 0;
std::size_t gPeak = 0;

void* allocate(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  gCurrent += malloc_usable_size(p);
  if (gCurrent > gPeak) gPeak = gCurrent;
  return p;
}
void release(void* p) {
  if (!p) return;
  gCurrent -= malloc_usable_size(p);
  std::free(p);
}
}  // namespace

void* operator new(std::size_t n) {
  return allocate(n);
}
void* operator new[](std::size_t n) {
  return allocate(n);
}
void operator delete(void* p) noexcept {
  release(p);
}
void operator delete[](void* p) noexcept {
  release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  release(p);
}

namespace orvane {
namespace {

constexpr std::size_t kEntries = 1000000;

const char* const kFirst[] = {"Anna", "Bernd", "Chloé", "David", "Eva", "Frank", "Günter", "Hanna"};
const char* const kLast[] = {"Schmidt", "Müller", "Smith", "Dubois", "Rossi", "Novak", "Berg"};
const char* const kCity[] = {"Berlin", "Zürich", "London", "Paris", "Wien", "Praha", "Oslo"};
const char* const kResult[] = {"", "[0] Valid E-mail Address!", "[550] Mailbox unavailable"};

RecipientList& sourceList() {
  static RecipientList* list = [] {
    auto* l = new RecipientList();
    l->addColumn({"First name", 120});
    l->addColumn({"Last name", 120});
    l->addColumn({"City", 120});
    std::vector<Entry> entries;
    entries.reserve(kEntries);
    std::vector<std::string> subs(4);
    for (std::size_t i = 0; i < kEntries; ++i) {
      subs[0] = kResult[i % 3];
      subs[1] = kFirst[i % 8];
      subs[2] = kLast[i % 7];
      subs[3] = kCity[(i / 7) % 7];
      Entry e("user" + std::to_string(i) + "@mail" + std::to_string(i % 977) + ".example.com",
              subs);
      e.resultState = i % 3 == 0 ? kNotValidated : static_cast<std::int32_t>(i % 3 - 1);
      e.checkState = i % 3 == 1 ? 0 : 1;
      entries.push_back(std::move(e));
    }
    l->appendEntries(std::move(entries));
    return l;
  }();
  return *list;
}

std::string benchFile() {
  static const std::string path = (std::filesystem::temp_directory_path() /
                                   ("orvane-bench-" + std::to_string(::getpid()) + ".orp"))
                                      .string();
  return path;
}

void BM_SaveProject(benchmark::State& state) {
  RecipientList& list = sourceList();
  const std::string path = benchFile();
  for (auto _ : state) {
    saveProject(path, list);
  }
  const auto bytes = std::filesystem::file_size(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6 * state.iterations(),
                                              benchmark::Counter::kIsRate);
}

void BM_SaveToMemory(benchmark::State& state) {
  RecipientList& list = sourceList();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string data = serializeProject(list);
    bytes = data.size();
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6 * state.iterations(),
                                              benchmark::Counter::kIsRate);
}

void BM_LoadProject(benchmark::State& state) {
  const std::string path = benchFile();
  if (!std::filesystem::exists(path)) saveProject(path, sourceList());
  const auto bytes = std::filesystem::file_size(path);
  double peakPerEntry = 0;
  std::size_t loaded = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto* list = new RecipientList();
    const std::size_t base = gCurrent;
    gPeak = gCurrent;
    state.ResumeTiming();
    loadProject(path, *list);
    state.PauseTiming();
    loaded = list->count();
    peakPerEntry = static_cast<double>(gPeak - base) / static_cast<double>(loaded);
    delete list;
    state.ResumeTiming();
  }
  if (loaded != kEntries) state.SkipWithError("wrong number of entries loaded");
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6 * state.iterations(),
                                              benchmark::Counter::kIsRate);
  state.counters["peak_bytes_per_entry"] = peakPerEntry;
}

BENCHMARK(BM_SaveProject)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SaveToMemory)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_LoadProject)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace orvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove(orvane::benchFile(), ec);
  return 0;
}
