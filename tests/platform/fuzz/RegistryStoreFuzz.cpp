// Fuzz target: the registry store loader, through the store's own functions.
//
// The input is written as the store file. The loader must never throw or
// crash; a text it refuses must answer no query, take no change and stay
// byte for byte as it was; a text it accepts must take a registration-like
// batch of changes (one value set, one tree deleted) and lose nothing else:
// the file written back reads as a store again with every other key and
// value as it was.
#include <json/json.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Registry.h"

namespace {

const std::string kSetKey = "IVELCARD.QVCtrl.1\\CLSID";
const std::string kSetValue = "{4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}";
const std::string kDeletedKey = "TypeLib\\{149AC0AB-F3F1-402A-B3B3-B49562250391}";

void fail(const char* what) {
    std::fprintf(stderr, "registry store fuzz: %s\n", what);
    std::abort();
}

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return text;
}

// Keys the batch may change: the set key and its parent, the deleted tree.
bool touched(const std::string& key) {
    const std::string k = lower(key);
    const std::string deleted = lower(kDeletedKey);
    return k == lower(kSetKey) || k == "ivelcard.qvctrl.1" || k == deleted || k.rfind(deleted + "\\", 0) == 0;
}

// The scratch directory of this process, removed when it exits.
char scratch[] = "/tmp/ivelcard-registry-fuzz-XXXXXX";

void removeScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

const std::string& storePath() {
    static const std::string path = [] {
        if (::mkdtemp(scratch) == nullptr) fail("no scratch directory");
        std::atexit(removeScratch);
        ::setenv("IVELCARD_REGISTRY_DIR", scratch, 1);
        ::unsetenv("IVELCARD_REGISTRY_DENY");
        return std::string(scratch) + "/classes.json";
    }();
    return path;
}

std::string readStore() {
    std::ifstream file(storePath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream file(storePath(), std::ios::binary | std::ios::trunc);
        file << text;
        if (!file) fail("cannot write the store");
    }
    Json::Value before;
    std::string problem;
    const bool accepted = platform::parseRegistryStore(text, before, problem);
    if (accepted != problem.empty()) fail("a refusal without a reason, or a reason without a refusal");
    if (accepted != platform::regStoreProblem().empty()) fail("the loader and the parser disagree");

    bool changed = false;
    bool written = false;
    {
        platform::RegistryBatch batch;
        changed = platform::regSetValue(kSetKey, "", kSetValue);
        changed = platform::regDeleteTree(kDeletedKey) && changed;
        written = batch.commit();
    }
    if (!accepted) {
        if (changed || !platform::regListKeys().empty()) fail("an unreadable store took a change or answered");
        if (readStore() != text) fail("an unreadable store was rewritten");
        return 0;
    }
    if (!changed || !written) fail("a readable store refused the batch");
    Json::Value after;
    if (!platform::parseRegistryStore(readStore(), after, problem)) fail("the store written back does not read");
    if (platform::regQueryValue(kSetKey) != kSetValue) fail("the value set is not there");
    if (platform::regKeyExists(kDeletedKey)) fail("the deleted tree is still there");
    for (const std::string& key : before.getMemberNames()) {
        if (!touched(key) && after[key] != before[key]) fail("a key the batch did not touch changed");
    }
    return 0;
}
