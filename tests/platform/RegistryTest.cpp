#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Registry.h"
#include "support/TestSupport.h"

namespace {

using testsupport::readFile;
using testsupport::ScopedEnvironment;
using testsupport::TempDir;
using testsupport::writeFile;

class Registry : public ::testing::Test {
protected:
    std::string store() const { return dir_ / "classes.json"; }

    TempDir dir_;
    ScopedEnvironment location_{"IVELCARD_REGISTRY_DIR", dir_.path()};
    ScopedEnvironment deny_{"IVELCARD_REGISTRY_DENY", std::nullopt};
};

TEST_F(Registry, StoreShapeIsCheckedWithoutThrowing) {
    struct Case {
        std::string text;
        std::string problem;  // empty: a well-formed store
    };
    const Case cases[] = {
        {"{}", ""},
        {R"({"A\\B": {"": "x", "n": "y"}, "C": {}})", ""},
        {R"({"IVELCARD.QVCtrl.1": "oops"})", "key \"IVELCARD.QVCtrl.1\" is not an object of values"},
        {R"({"IVELCARD.QVCtrl.1\\CLSID": {"": [1,2]}})",
         "value \"\" of key \"IVELCARD.QVCtrl.1\\CLSID\" is not a string"},
        {R"({"K": {"v": 3}})", "value \"v\" of key \"K\" is not a string"},
        {R"({"K": {"v": {"w": "x"}}})", "value \"v\" of key \"K\" is not a string"},
        {"[]", "not an object of keys"},
        {"\"text\"", "not JSON"},
        {std::string(2000, '['), "not JSON"},
        {std::string(100000, '{'), "not JSON"},
        {"{} trailing", "not JSON"},
        {R"({"K": {}, "K": {}})", "not JSON"},
        {"", "not JSON"},
    };
    for (const Case& c : cases) {
        Json::Value root;
        std::string problem;
        const bool ok = platform::parseRegistryStore(c.text, root, problem);
        EXPECT_EQ(ok, c.problem.empty()) << c.text.substr(0, 40);
        EXPECT_EQ(problem.substr(0, c.problem.size()), c.problem) << c.text.substr(0, 40);
    }
}

TEST_F(Registry, WrongShapedStoreRefusesChangesAnswersNothingAndIsKept) {
    const std::string hostile = R"({"IVELCARD.QVCtrl.1\\CLSID": {"": [1,2]}})";
    writeFile(store(), hostile);
    EXPECT_EQ(platform::regQueryValue("IVELCARD.QVCtrl.1\\CLSID"), std::nullopt);
    EXPECT_FALSE(platform::regKeyExists("IVELCARD.QVCtrl.1\\CLSID"));
    EXPECT_TRUE(platform::regListKeys().empty());
    EXPECT_FALSE(platform::regSetValue("K", "", "v"));
    EXPECT_FALSE(platform::regCreateKey("K"));
    EXPECT_FALSE(platform::regDeleteTree("IVELCARD.QVCtrl.1"));
    EXPECT_EQ(readFile(store()), hostile);
    EXPECT_EQ(platform::regStoreProblem(), "the registry store " + store() +
                                               " cannot be read (value \"\" of key \"IVELCARD.QVCtrl.1\\CLSID\" is "
                                               "not a string); it was left as it is");
}

TEST_F(Registry, BatchReadsOnceAndWritesOnceAtCommit) {
    ASSERT_TRUE(platform::regSetValue("Old", "", "kept"));
    const std::string before = readFile(store());
    {
        platform::RegistryBatch batch;
        EXPECT_TRUE(platform::regSetValue("A\\B", "n", "1"));
        // Read once: what happens to the file afterwards does not reach the batch.
        writeFile(store(), "not a store");
        EXPECT_TRUE(platform::regSetValue("a\\b", "m", "2"));  // the same key, another spelling
        EXPECT_EQ(platform::regQueryValue("A\\B", "n"), "1");
        EXPECT_TRUE(platform::regDeleteTree("old"));
        {
            platform::RegistryBatch inner;
            EXPECT_TRUE(platform::regCreateKey("C"));
            EXPECT_TRUE(inner.commit());
        }
        // Nothing was written yet.
        EXPECT_EQ(readFile(store()), "not a store");
        EXPECT_TRUE(batch.commit());
    }
    EXPECT_NE(readFile(store()), before);
    EXPECT_EQ(platform::regListKeys(), (std::vector<std::string>{"A", "A\\B", "C"}));
    EXPECT_EQ(platform::regQueryValue("A\\B", "m"), "2");
    EXPECT_EQ(platform::regStoreProblem(), "");
}

TEST_F(Registry, BatchOverAnUnreadableStoreChangesNothing) {
    writeFile(store(), "[");
    platform::RegistryBatch batch;
    EXPECT_FALSE(platform::regSetValue("A", "", "v"));
    EXPECT_TRUE(batch.commit());  // there was nothing to write
    EXPECT_EQ(readFile(store()), "[");
}

TEST_F(Registry, NeverWritesThroughOrOverASymbolicLink) {
    TempDir elsewhere;
    const std::string target = elsewhere / "target.json";
    const std::string linked = R"({"A": {"": "v"}})";
    writeFile(target, linked);
    ASSERT_EQ(::symlink(target.c_str(), store().c_str()), 0);
    // Read through the link, never changed.
    EXPECT_EQ(platform::regQueryValue("a"), "v");
    EXPECT_EQ(platform::regStoreProblem(false), "");
    EXPECT_FALSE(platform::regSetValue("A", "", "w"));
    EXPECT_FALSE(platform::regDeleteTree("A"));
    {
        platform::RegistryBatch batch;
        EXPECT_FALSE(platform::regCreateKey("B"));
    }
    EXPECT_TRUE(std::filesystem::is_symlink(store()));
    EXPECT_EQ(readFile(target), linked);
    EXPECT_EQ(platform::regStoreProblem(),
              "the registry store " + store() +
                  " is a symbolic link; nothing is written through or over it (put the file itself there)");
}

TEST_F(Registry, WithoutAHomeThereIsNoStore) {
    TempDir home;
    ScopedEnvironment noOverride("IVELCARD_REGISTRY_DIR", std::nullopt);
    ScopedEnvironment relativeConfig("XDG_CONFIG_HOME", "relative/config");  // ignored
    {
        ScopedEnvironment homeSet("HOME", home.path());
        EXPECT_TRUE(platform::regSetValue("A", "", "v"));
        EXPECT_EQ(platform::regQueryValue("A"), "v");
        EXPECT_TRUE(std::filesystem::exists(home / ".config/ivelcard/classes.json"));
    }
    const struct {
        std::optional<std::string> home;
        std::string why;
    } cases[] = {
        {std::nullopt, "HOME is not set"},
        {"", "HOME is not set"},
        {"relative/home", "HOME (relative/home) is not an absolute path"},
    };
    for (const auto& c : cases) {
        ScopedEnvironment homeSet("HOME", c.home);
        EXPECT_FALSE(platform::regSetValue("A", "", "v"));
        EXPECT_EQ(platform::regQueryValue("A"), std::nullopt);
        EXPECT_EQ(platform::regStoreProblem(), "the registry store has no place: " + c.why +
                                                   "; set HOME, XDG_CONFIG_HOME or IVELCARD_REGISTRY_DIR");
    }
    EXPECT_FALSE(std::filesystem::exists("relative"));
}

}  // namespace
