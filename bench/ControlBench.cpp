// The control across the module boundary, against the virtual reader with
// zero latency: control creation (deployment and binding), each session
// operation and the card read as a host calls them through IDispatch, and,
// in the same run, the floor of the card read: the three JPEG encodings of
// its pictures alone. Both are run five times; at the end the run prints
// the card read's CPU median over the floor's ("readCert / three JPEG
// encodings (CPU medians): R"). The card read also counts its page faults:
// a read that keeps its memory for the next one takes almost none.
#include <benchmark/benchmark.h>
#include <json/json.h>

#include <cstdio>
#include <jpeglib.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cardface/JpegMemoryEncoder.h"
#include "cardface/Base64Decoder.h"
#include "control/Identifiers.h"
#include "platform/CodePage.h"
#include "platform/Com.h"
#include "platform/System.h"

namespace {

using namespace platform;

// Loads the module once, in a private runtime directory of its own.
IClassFactory* factory() {
    static IClassFactory* instance = [] {
        std::string dir = (std::filesystem::temp_directory_path() / "ivelcard-bench-XXXXXX").string();
        if (::mkdtemp(dir.data()) == nullptr) std::abort();
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        ::unsetenv("IVELCARD_VIRTUAL_READER");
        ::unsetenv("IVELCARD_VIRTUAL_READER_LOG");
        ModuleHandle module = loadLibrary(IVELCARD_MODULE_PATH);
        auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(procAddress(module, "DllGetClassObject"));
        IClassFactory* f = nullptr;
        if (getClassObject == nullptr ||
            FAILED(getClassObject(control::CLSID_Ivelcard, IID_IClassFactory, reinterpret_cast<void**>(&f)))) {
            std::abort();
        }
        return f;
    }();
    return instance;
}

IDispatch* createControl() {
    IDispatch* control = nullptr;
    if (FAILED(factory()->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control)))) std::abort();
    return control;
}

// Calls a member; the document it answered goes into `text` (whose
// capacity a host keeps from call to call).
void invoke(IDispatch* control, DISPID id, std::u16string& text) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(result.bstrVal);
    text.clear();
    if (result.vt == VT_BSTR && result.bstrVal != nullptr) text.assign(result.bstrVal, SysStringLen(result.bstrVal));
    VariantClear(&result);
}

std::u16string invoke(IDispatch* control, DISPID id) {
    std::u16string text;
    invoke(control, id, text);
    return text;
}

// The page faults the process has taken that needed no disk.
long minorPageFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

void BM_CreateControl(benchmark::State& state) {
    createControl()->Release();  // the first creation writes and loads the libraries
    for (auto _ : state) createControl()->Release();
}
BENCHMARK(BM_CreateControl);

void BM_Connect(benchmark::State& state) {
    IDispatch* control = createControl();
    for (auto _ : state) invoke(control, control::kDispidConnect);
    control->Release();
}
BENCHMARK(BM_Connect);

void BM_Disconnect(benchmark::State& state) {
    IDispatch* control = createControl();
    for (auto _ : state) {
        state.PauseTiming();
        invoke(control, control::kDispidConnect);
        state.ResumeTiming();
        invoke(control, control::kDispidDisconnect);
    }
    control->Release();
}
BENCHMARK(BM_Disconnect);

void BM_GetStatus(benchmark::State& state) {
    IDispatch* control = createControl();
    invoke(control, control::kDispidConnect);
    for (auto _ : state) invoke(control, control::kDispidGetStatus);
    control->Release();
}
BENCHMARK(BM_GetStatus);

void BM_GetSamId(benchmark::State& state) {
    IDispatch* control = createControl();
    invoke(control, control::kDispidConnect);
    for (auto _ : state) invoke(control, control::kDispidGetSamId);
    control->Release();
}
BENCHMARK(BM_GetSamId);

void BM_ReadCert(benchmark::State& state) {
    IDispatch* control = createControl();
    invoke(control, control::kDispidConnect);
    std::u16string document;
    const long faultsBefore = minorPageFaults();
    for (auto _ : state) invoke(control, control::kDispidReadCert, document);
    // A read that claims fresh memory from the system shows here (a page
    // fault for each page of it).
    state.counters["pageFaults"] =
        benchmark::Counter(static_cast<double>(minorPageFaults() - faultsBefore), benchmark::Counter::kAvgIterations);
    state.counters["documentChars"] = static_cast<double>(document.size());
    control->Release();
}
constexpr int kRatioRepetitions = 5;
BENCHMARK(BM_ReadCert)->Unit(benchmark::kMillisecond)->Repetitions(kRatioRepetitions)->DisplayAggregatesOnly(true);

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    std::size_t capacity = 0;
};

Picture decompress(const std::string& jpeg, std::size_t capacity) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    Picture picture{static_cast<int>(info.output_width), static_cast<int>(info.output_height), {}, capacity};
    picture.rgb.resize(std::size_t{info.output_width} * info.output_height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = picture.rgb.data() + std::size_t{info.output_scanline} * info.output_width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return picture;
}

// The pixels of the three pictures of one card read.
const std::vector<Picture>& cardPictures() {
    static const std::vector<Picture> pictures = [] {
        IDispatch* control = createControl();
        invoke(control, control::kDispidConnect);
        std::istringstream text(utf16ToUtf8(invoke(control, control::kDispidReadCert)));
        control->Release();
        Json::Value document;
        Json::parseFromStream(Json::CharReaderBuilder(), text, &document, nullptr);
        const Json::Value& content = document["resultContent"];
        return std::vector<Picture>{
            decompress(cardface::base64Decode(content["identityPic"].asString()), 4096),
            decompress(cardface::base64Decode(content["base64ID_PicFront"].asString()), 436614),
            decompress(cardface::base64Decode(content["base64ID_PicBack"].asString()), 436614)};
    }();
    return pictures;
}

void BM_ThreeJpegEncodings(benchmark::State& state) {
    std::vector<Picture> pictures = cardPictures();
    std::vector<std::uint8_t> out(436614);
    for (auto _ : state) {
        for (Picture& picture : pictures) {
            std::int32_t length = 0;
            cardface::JpegMemoryEncoder::encode(picture.width, picture.height, picture.rgb,
                                                std::span(out.data(), picture.capacity), length, false, false, false);
            benchmark::DoNotOptimize(length);
        }
    }
}
BENCHMARK(BM_ThreeJpegEncodings)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRatioRepetitions)
    ->DisplayAggregatesOnly(true);

// Passes every report on to the reporter of the chosen format and keeps the
// CPU time per iteration of every run by benchmark: the median aggregate
// where there is one, else each repetition.
class RatioReporter : public benchmark::BenchmarkReporter {
public:
    explicit RatioReporter(benchmark::BenchmarkReporter& shown) : shown_(shown) {}

    bool ReportContext(const Context& context) override { return shown_.ReportContext(context); }
    void Finalize() override { shown_.Finalize(); }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.function_name;
            const double cpuSeconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians_[name] = cpuSeconds;
            } else {
                repetitions_[name].push_back(cpuSeconds);
            }
        }
        shown_.ReportRuns(runs);
    }

    // The median CPU time of a benchmark, or 0 when it did not run.
    double median(const std::string& name) const {
        if (const auto found = medians_.find(name); found != medians_.end()) return found->second;
        const auto found = repetitions_.find(name);
        if (found == repetitions_.end() || found->second.empty()) return 0;
        std::vector<double> times = found->second;
        std::sort(times.begin(), times.end());
        const std::size_t n = times.size();
        return n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    }

private:
    benchmark::BenchmarkReporter& shown_;
    std::map<std::string, double> medians_;
    std::map<std::string, std::vector<double>> repetitions_;
};

// The format asked for with --benchmark_format (console unless json).
std::string requestedFormat(int argc, char** argv) {
    const std::string flag = "--benchmark_format=";
    std::string format = "console";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind(flag, 0) == 0) format = argument.substr(flag.size());
    }
    return format;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string format = requestedFormat(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (format != "console" && format != "json") {
        std::fprintf(stderr, "control_bench reports as console or json only\n");
        return 1;
    }
    benchmark::ConsoleReporter console;
    benchmark::JSONReporter json;
    benchmark::BenchmarkReporter& shown =
        format == "json" ? static_cast<benchmark::BenchmarkReporter&>(json) : console;
    RatioReporter reporter(shown);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double read = reporter.median("BM_ReadCert");
    const double floor = reporter.median("BM_ThreeJpegEncodings");
    if (read > 0 && floor > 0) {
        // Beside a machine-readable report the line goes to standard error.
        std::fprintf(format == "console" ? stdout : stderr,
                     "readCert / three JPEG encodings (CPU medians): %.2f (%.3f ms / %.3f ms)\n", read / floor,
                     read * 1e3, floor * 1e3);
    }
    benchmark::Shutdown();
    return 0;
}
