// Loading the largest page image (model 0x8801: 3968 pages of 256 bytes,
// about 1 MB) from a file in the system's temporary folder.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "firmware/firmware_image.h"
#include "firmware/firmware_selection.h"
#include "firmware/firmware_writer.h"
#include "firmware/page_layout.h"

namespace {

using namespace flashmere;

class ImageFile {
  public:
    ImageFile(std::uint16_t model, std::size_t bodySize) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("flashmere-bench-" + std::to_string(model) + ".TVB"))
                    .string();
        std::vector<std::uint8_t> body(bodySize);
        for (std::size_t i = 0; i < body.size(); ++i) {
            body[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        ok_ = writeFirmwareFile(path_, model, "BENCH", "1.0", body).ok;
    }
    ~ImageFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::string& path() const { return path_; }
    bool ok() const { return ok_; }

  private:
    std::string path_;
    bool ok_ = false;
};

void loadImage(benchmark::State& state, std::uint16_t model) {
    const auto bytes = static_cast<std::size_t>(largestImageBytes(pageLayoutFor(model)));
    ImageFile file(model, bytes);
    if (!file.ok()) {
        state.SkipWithError("cannot write the image file");
        return;
    }
    FirmwareImage image;
    if (!selectFirmwareFile(file.path(), image).accepted) {
        state.SkipWithError("the image file is not accepted");
        return;
    }
    for (auto _ : state) {
        if (!loadFirmwareImage(image).ok()) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(image.pageCount);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes));
    state.counters["pages"] = image.pageCount;
}

void BM_LoadLargestTextImage(benchmark::State& state) {
    loadImage(state, 0x8801);  // 1,015,808 bytes
}
void BM_LoadSmallPageImage(benchmark::State& state) {
    loadImage(state, 0x8400);  // 2048 pages of 128 bytes
}

BENCHMARK(BM_LoadLargestTextImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSmallPageImage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
