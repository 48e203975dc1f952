// The fixture of the tests across the module boundary: each scenario runs
// the hosts in fresh processes with a runtime directory, reader description,
// call log and registry of its own.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace moduletest {

using testsupport::ProcessResult;
using testsupport::readFile;
using testsupport::readLines;
using testsupport::writeFile;

inline std::string doc(int flag, const std::string& message, const std::string& extra = "") {
    return "{\n   \"errorMsg\" : \"" + message + "\",\n   \"resultFlag\" : " + std::to_string(flag) +
           (extra.empty() ? "" : ",\n   " + extra) + "\n}\n";
}
inline std::string probe(int port) { return "SDT_GetSAMStatus " + std::to_string(port) + " 1"; }
inline const std::string kSamId = "05.01-20101206-0001122334-2019486530";

// One fresh process environment: its own runtime directory, reader
// description and call log.
class Module : public ::testing::Test {
protected:
    std::string module(const std::string& name = "ivelcard") const {
        return testsupport::binDir() + "/lib" + name + ".so";
    }
    std::string workDirectory() const { return runtime_.path() + "/chinaidcard/"; }
    void describeReader(const std::string& json) {
        writeFile(scratch_ / "reader.json", json);
        described_ = true;
    }
    std::vector<std::string> log() const { return readLines(scratch_ / "calls.log"); }

    std::map<std::string, std::optional<std::string>> environment() const {
        return {{"XDG_RUNTIME_DIR", runtime_.path()},
                {"IVELCARD_VIRTUAL_READER", described_ ? std::optional(scratch_ / "reader.json") : std::nullopt},
                {"IVELCARD_VIRTUAL_READER_LOG", scratch_ / "calls.log"},
                {"IVELCARD_MODULE", std::nullopt},
                {"IVELCARD_REGISTRY_DIR", registry_.path()},
                {"IVELCARD_REGISTRY_DENY", deny_.empty() ? std::nullopt : std::optional(deny_)}};
    }

    ProcessResult ivelcard(std::vector<std::string> args, const std::string& moduleName = "ivelcard",
                           const std::function<void()>& childSetup = {}) {
        args.insert(args.begin(), {testsupport::binDir() + "/ivelcard", "--module", module(moduleName)});
        return testsupport::runProcess(args, environment(), childSetup);
    }
    ProcessResult script(std::vector<std::string> steps) {
        steps.insert(steps.begin(), {testsupport::binDir() + "/script_host", module()});
        return testsupport::runProcess(steps, environment());
    }

    testsupport::TempDir runtime_;
    testsupport::TempDir scratch_;
    testsupport::TempDir registry_;
    std::string deny_;
    bool described_ = false;
};

}  // namespace moduletest
