// How long the two firmware checks take on the largest files the updates
// take: a 6 MiB screen image with its SHA-256 digest, and an 8 MiB UF2 of
// 16384 blocks. Each is timed beside a plain copy of the same bytes (the
// least any look at every byte costs); the screen image also beside SHA-256
// alone, which is most of its check. The program ends with the times side by
// side.
#include "esp-image.h"
#include "sha256.h"
#include "support/firmware_gen.h"
#include "uf2.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace orvtest;

namespace {

const Bytes &screen_image() {
  // 6 MiB of segments less room for the headers, so the file stays inside
  // the 6291456-byte app slot.
  static const Bytes image = esp_image(esp_app_spec(6 * 1024 * 1024 - 1024));
  return image;
}

const Bytes &io_image() {
  static const Bytes image = uf2_file(uf2_flash_blocks(16384));
  return image;
}

void copy_of(benchmark::State &state, const Bytes &bytes) {
  std::vector<uint8_t> copy(bytes.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_esp_image_read(benchmark::State &state) {
  const Bytes &image = screen_image();
  esp_image_report_t report;
  for (auto _ : state) {
    if (esp_image_read(image.data(), image.size(), &report) != ESP_IMAGE_OK)
      state.SkipWithError("the image was not taken");
    benchmark::DoNotOptimize(report);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_esp_sha256(benchmark::State &state) {
  const Bytes &image = screen_image();
  uint8_t digest[SHA256_SIZE];
  for (auto _ : state) {
    sha256(image.data(), image.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_esp_copy(benchmark::State &state) { copy_of(state, screen_image()); }

void BM_uf2_read(benchmark::State &state) {
  const Bytes &image = io_image();
  uf2_report_t report;
  for (auto _ : state) {
    if (uf2_read(image.data(), image.size(), &report) != UF2_COMPLETE)
      state.SkipWithError("the UF2 would not complete");
    benchmark::DoNotOptimize(report);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_uf2_copy(benchmark::State &state) { copy_of(state, io_image()); }

BENCHMARK(BM_esp_image_read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_esp_sha256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_esp_copy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_uf2_read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_uf2_copy)->Unit(benchmark::kMillisecond);

// The usual console table, keeping each benchmark's real time per run in
// milliseconds: the median when it is repeated, else its one run.
class TimeReporter : public benchmark::ConsoleReporter {
public:
  std::map<std::string, double> ms;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || (run.run_type == Run::RT_Iteration && ms.count(run.run_name.str()) == 0))
        ms[run.run_name.str()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  TimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto at = [&](const char *name) { return reporter.ms.count(name) ? reporter.ms[name] : 0.0; };
  if (at("BM_esp_image_read") > 0 && at("BM_esp_copy") > 0)
    std::printf("%.2f MiB ESP32 image with digest: check %.2f ms, SHA-256 alone %.2f ms, copy %.2f ms (check = "
                "%.1f x copy)\n",
                static_cast<double>(screen_image().size()) / (1 << 20), at("BM_esp_image_read"), at("BM_esp_sha256"),
                at("BM_esp_copy"), at("BM_esp_image_read") / at("BM_esp_copy"));
  if (at("BM_uf2_read") > 0 && at("BM_uf2_copy") > 0)
    std::printf("%.2f MiB UF2, 16384 blocks: check %.2f ms, copy %.2f ms (check = %.1f x copy)\n",
                static_cast<double>(io_image().size()) / (1 << 20), at("BM_uf2_read"), at("BM_uf2_copy"),
                at("BM_uf2_read") / at("BM_uf2_copy"));
  return 0;
}
