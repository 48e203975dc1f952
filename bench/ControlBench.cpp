// The control across the module boundary, against the virtual reader with
// zero latency: control creation (deployment and binding) and each session
// operation as a host calls it through IDispatch.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "control/Identifiers.h"
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

void invoke(IDispatch* control, DISPID id) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
    benchmark::DoNotOptimize(result.bstrVal);
    VariantClear(&result);
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

}  // namespace

BENCHMARK_MAIN();
