// Import throughput: a 1,000,000-line CSV (address plus three fields) and a
// 1,000,000-record dBase table, each imported into an empty recipient list.
// The inputs are generated into a temporary folder on first use. Reports rows
// per second and MB per second of input.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "core/RecipientList.h"
#include "import/Importer.h"
#include "tests/import/DbfBuilder.h"

namespace {

namespace fs = std::filesystem;
constexpr int kRows = 1'000'000;

// Created on first use and removed at exit (never destroyed before the removal).
const fs::path& workDir() {
  static const fs::path* dir = [] {
    std::string tmpl = (fs::temp_directory_path() / "orvane-import-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    auto* path = new fs::path(tmpl);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(workDir(), ec);
    });
    return path;
  }();
  return *dir;
}

const std::string& csvPath() {
  static const std::string path = [] {
    const std::string p = (workDir() / "list.csv").string();
    std::string text = "Email,Name,Company,City\n";
    text.reserve(80u * kRows);
    for (int i = 0; i < kRows; ++i) {
      const std::string n = std::to_string(i);
      text += "user" + n + "@example" + std::to_string(i % 97) + ".com,\"Person " + n +
              "\",Company " + std::to_string(i % 1000) + ",City " + std::to_string(i % 50) + "\n";
    }
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }();
  return path;
}

const std::string& dbfPath() {
  static const std::string path = [] {
    const std::string p = (workDir() / "list.dbf").string();
    orvane::testing::DbfBuilder b;
    b.fields = {{"EMAIL", 'C', 40}, {"NAME", 'C', 30}, {"COMPANY", 'C', 20}, {"SCORE", 'N', 8}};
    b.records.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
      const std::string n = std::to_string(i);
      b.add({"user" + n + "@example" + std::to_string(i % 97) + ".com", "Person " + n,
             "Company " + std::to_string(i % 1000), std::to_string(i % 100000)},
            i % 100 == 0);
    }
    std::ofstream(p, std::ios::binary) << b.build();
    return p;
  }();
  return path;
}

void runImport(benchmark::State& state, const std::string& path) {
  const auto bytes = static_cast<std::int64_t>(fs::file_size(path));
  std::size_t rows = 0;
  for (auto _ : state) {
    auto list = std::make_unique<orvane::RecipientList>();
    orvane::import::Importer importer(path);
    rows = importer.run(*list);
    if (rows != static_cast<std::size_t>(kRows)) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(list->count());
    state.PauseTiming();
    list.reset();  // the list's destruction is not part of the import
    state.ResumeTiming();
  }
  state.SetBytesProcessed(bytes * static_cast<std::int64_t>(state.iterations()));
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows) * state.iterations(),
                                                benchmark::Counter::kIsRate);
  state.counters["cores"] = static_cast<double>(std::thread::hardware_concurrency());
}

void BM_ImportCsv(benchmark::State& state) {
  runImport(state, csvPath());
}
void BM_ImportDbf(benchmark::State& state) {
  runImport(state, dbfPath());
}

BENCHMARK(BM_ImportCsv)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ImportDbf)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
