#include <json/json.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ModuleFixture.h"

namespace moduletest {
namespace {

using Records = std::map<std::string, std::map<std::string, std::string>>;

const std::string kControl = "CLSID\\{4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}";
const std::string kPage = "CLSID\\{1D86AF72-1DBA-497B-845B-F18F5F982D56}";
const std::string kLibrary = "TypeLib\\{149AC0AB-F3F1-402A-B3B3-B49562250391}";

class Registration : public Module {
protected:
    // Every key of the store with its values.
    Records records() const {
        Records out;
        std::ifstream file(registry_ / "classes.json");
        Json::Value root;
        if (!file || !Json::parseFromStream(Json::CharReaderBuilder(), file, &root, nullptr)) return out;
        for (const std::string& key : root.getMemberNames()) {
            out[key];
            for (const std::string& name : root[key].getMemberNames()) out[key][name] = root[key][name].asString();
        }
        return out;
    }
    // The keys that belong to the control, its page, its ProgIDs or its library.
    std::vector<std::string> ownKeys() const {
        std::vector<std::string> keys;
        for (const auto& [key, values] : records()) {
            if (key.rfind(kControl, 0) == 0 || key.rfind(kPage, 0) == 0 || key.rfind(kLibrary, 0) == 0 ||
                key.rfind("IVELCARD.", 0) == 0) {
                keys.push_back(key);
            }
        }
        return keys;
    }
    std::string modulePath() const { return std::filesystem::canonical(module()).string(); }
};

TEST_F(Registration, RecordsTheClassesTheProgIdAndTheTypeLibrary) {
    const ProcessResult r = ivelcard({"register"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string path = modulePath();
    const std::string directory = path.substr(0, path.rfind('/'));
    Records expected = {
        {"CLSID", {}},
        {kControl, {{"", "Ivelcard Control"}}},
        {kControl + "\\InprocServer32", {{"", path}, {"ThreadingModel", "Apartment"}}},
        {kControl + "\\ProgID", {{"", "IVELCARD.QVCtrl.1"}}},
        {kControl + "\\ToolboxBitmap32", {{"", path + ", 201"}}},
        {kControl + "\\MiscStatus", {{"", "131473"}}},
        {kControl + "\\TypeLib", {{"", "{149AC0AB-F3F1-402A-B3B3-B49562250391}"}}},
        {kControl + "\\Version", {{"", "1.0"}}},
        {kControl + "\\Control", {}},
        {"IVELCARD.QVCtrl.1", {{"", "Ivelcard Control"}}},
        {"IVELCARD.QVCtrl.1\\CLSID", {{"", "{4F5D262A-FF7A-4211-8D8E-9D095FAB3A99}"}}},
        {kPage, {{"", "Ivelcard Property Page"}}},
        {kPage + "\\InprocServer32", {{"", path}, {"ThreadingModel", "Apartment"}}},
        {"TypeLib", {}},
        {kLibrary, {}},
        {kLibrary + "\\1.0", {{"", "Ivelcard ActiveX 控件模块"}}},
        {kLibrary + "\\1.0\\0", {}},
        {kLibrary + "\\1.0\\0\\win32", {{"", path}}},
        {kLibrary + "\\1.0\\FLAGS", {{"", "2"}}},
        {kLibrary + "\\1.0\\HELPDIR", {{"", directory}}},
    };
    EXPECT_EQ(records(), expected);

    // Unregistration removes all of it; the page's ProgID was never written.
    const ProcessResult u = ivelcard({"unregister"});
    EXPECT_EQ(u.exitCode, 0) << u.err;
    EXPECT_TRUE(ownKeys().empty());
    // Nothing is left to unregister.
    const ProcessResult again = ivelcard({"unregister"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_THAT(again.err, ::testing::HasSubstr("0x80040200"));
}

TEST_F(Registration, TypeLibraryFailureRegistersNoClass) {
    deny_ = "TypeLib\\";
    const ProcessResult r = ivelcard({"register"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, ::testing::HasSubstr("0x80040200"));
    EXPECT_TRUE(ownKeys().empty());
}

TEST_F(Registration, FailingFactoryGivesClassErrorAndKeepsWhatTheOthersDid) {
    deny_ = kPage;
    const ProcessResult r = ivelcard({"register"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, ::testing::HasSubstr("0x80040201"));
    EXPECT_EQ(records()[kControl + "\\ProgID"][""], "IVELCARD.QVCtrl.1");
    EXPECT_FALSE(records().contains(kPage));
}

TEST_F(Registration, TypeLibraryThatCannotBeUnregisteredLeavesTheClasses) {
    ASSERT_EQ(ivelcard({"register"}).exitCode, 0);
    const Records before = records();
    deny_ = kLibrary;
    const ProcessResult r = ivelcard({"unregister"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, ::testing::HasSubstr("0x80040200"));
    EXPECT_EQ(records(), before);
}

TEST_F(Registration, UnreadableStoreIsNeverOverwritten) {
    writeFile(registry_ / "classes.json", "{ not json");
    const ProcessResult r = ivelcard({"register"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readFile(registry_ / "classes.json"), "{ not json");
}

// A store of the wrong shape, or nested too deeply to parse, is an unreadable
// store: the command fails with its code, the file stays as it is and the
// host says why. Nothing is thrown across the module's exports.
TEST_F(Registration, HostileStoresFailTheCommandAndAreLeftAsTheyAre) {
    const struct {
        std::string store;
        std::string command;
        std::string why;
    } cases[] = {
        {std::string(2000, '[') + "\n", "unregister", "not JSON: "},
        {R"({"IVELCARD.QVCtrl.1": "oops"})", "register", "key \"IVELCARD.QVCtrl.1\" is not an object of values"},
        {R"({"IVELCARD.QVCtrl.1\\CLSID": {"": [1,2]}})", "unregister",
         "value \"\" of key \"IVELCARD.QVCtrl.1\\CLSID\" is not a string"},
    };
    for (const auto& c : cases) {
        writeFile(registry_ / "classes.json", c.store);
        const ProcessResult r = ivelcard({c.command});
        EXPECT_EQ(r.exitCode, 1) << c.store.substr(0, 40) << r.err;
        EXPECT_THAT(r.err, ::testing::HasSubstr("failed (0x80040200)"));
        EXPECT_THAT(r.err, ::testing::HasSubstr("ivelcard: the registry store " + registry_ / "classes.json" +
                                                " cannot be read (" + c.why));
        EXPECT_THAT(r.err, ::testing::HasSubstr("); it was left as it is\n"));
        EXPECT_EQ(readFile(registry_ / "classes.json"), c.store);
    }
}

// The host's module lookup survives such a store: it says so and takes the
// module beside the program.
TEST_F(Registration, HostLooksBesideItselfWhenTheStoreIsUnreadable) {
    const std::string hostile = R"({"IVELCARD.QVCtrl.1\\CLSID": {"": [1,2]}})";
    writeFile(registry_ / "classes.json", hostile);
    const ProcessResult r =
        testsupport::runProcess({testsupport::binDir() + "/ivelcard", "call", "getStatus"}, environment());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, doc(0, "设备未连接", "\"status\" : 1"));
    EXPECT_THAT(r.err, ::testing::HasSubstr("ivelcard: the registry store " + registry_ / "classes.json" +
                                            " cannot be read (value \"\" of key"));
    EXPECT_EQ(readFile(registry_ / "classes.json"), hostile);
}

TEST_F(Registration, StoreThatIsASymbolicLinkIsNeitherFollowedNorReplaced) {
    const std::string target = scratch_ / "elsewhere.json";
    writeFile(target, "{}\n");
    ASSERT_EQ(::symlink(target.c_str(), (registry_ / "classes.json").c_str()), 0);
    const ProcessResult r = ivelcard({"register"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, ::testing::HasSubstr("failed (0x80040200)"));
    EXPECT_THAT(r.err, ::testing::HasSubstr("ivelcard: the registry store " + registry_ / "classes.json" +
                                            " is a symbolic link; nothing is written through or over it"));
    EXPECT_TRUE(std::filesystem::is_symlink(registry_ / "classes.json"));
    EXPECT_EQ(readFile(target), "{}\n");
}

// Without HOME (and without the two variables that would place the store
// elsewhere) nothing is written, least of all under the root directory.
TEST_F(Registration, StoreWithoutHomeNamesTheMissingVariable) {
    const std::string underRoot = "/.config/ivelcard/classes.json";
    const bool existed = std::filesystem::exists(underRoot);
    const std::string content = existed ? readFile(underRoot) : "";
    auto env = environment();
    env["IVELCARD_REGISTRY_DIR"] = std::nullopt;
    env["XDG_CONFIG_HOME"] = std::nullopt;
    env["HOME"] = std::nullopt;
    const ProcessResult r = testsupport::runProcess(
        {testsupport::binDir() + "/ivelcard", "--module", module(), "register"}, env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, ::testing::HasSubstr("ivelcard: the registry store has no place: HOME is not set; set HOME, "
                                            "XDG_CONFIG_HOME or IVELCARD_REGISTRY_DIR\n"));
    EXPECT_EQ(std::filesystem::exists(underRoot), existed);
    if (existed) {
        EXPECT_EQ(readFile(underRoot), content);
    }
}

TEST_F(Registration, HostsFindTheRegisteredModuleByItsProgId) {
    ASSERT_EQ(ivelcard({"register"}).exitCode, 0);
    // A copy of the host far from the module: only the registry can lead it there.
    const std::string host = scratch_ / "ivelcard";
    std::filesystem::copy_file(testsupport::binDir() + "/ivelcard", host);
    ProcessResult r = testsupport::runProcess({host, "call", "connect"}, environment());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, doc(0, ""));
    r = testsupport::runProcess({host, "unregister"}, environment());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = testsupport::runProcess({host, "call", "connect"}, environment());
    EXPECT_EQ(r.exitCode, 2);
}

TEST_F(Registration, RegisteredModuleThatIsGoneGivesWayToTheOneBesideTheProgram) {
    // Register a copy, then delete it.
    const std::string copy = scratch_ / "libivelcard-copy.so";
    std::filesystem::copy_file(module(), copy);
    const std::string host = testsupport::binDir() + "/ivelcard";
    ASSERT_EQ(testsupport::runProcess({host, "register", copy}, environment()).exitCode, 0);
    std::filesystem::remove(copy);

    const std::string beside = testsupport::binDir() + "/libivelcard.so";
    const std::string gone = "ivelcard: the module registered for IVELCARD.QVCtrl.1, " + copy +
                             ", no longer exists; trying ";
    ProcessResult r = testsupport::runProcess({host, "call", "connect"}, environment());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, doc(0, ""));
    EXPECT_EQ(r.err, gone + beside + " beside this program (run 'ivelcard register' to record it)\n");

    // A host with no module beside it: the failure says where the path came from.
    const std::string far = scratch_ / "ivelcard";
    std::filesystem::copy_file(host, far);
    ASSERT_EQ(testsupport::runProcess({host, "register", module()}, environment()).exitCode, 0);
    std::filesystem::copy_file(module(), copy);
    ASSERT_EQ(testsupport::runProcess({host, "register", copy}, environment()).exitCode, 0);
    writeFile(copy, "no longer a module");
    r = testsupport::runProcess({far, "call", "connect"}, environment());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "ivelcard: cannot load the control module " + copy +
                         " (registered for IVELCARD.QVCtrl.1; 'ivelcard register' records another): not a "
                         "loadable control module\n");

    // Unregistering needs no loadable module: the host removes the records.
    std::filesystem::remove(copy);
    r = testsupport::runProcess({far, "unregister"}, environment());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.err, ::testing::HasSubstr("ivelcard: removed the control's records from the registry\n"));
    EXPECT_TRUE(ownKeys().empty());
    r = testsupport::runProcess({far, "unregister"}, environment());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, ::testing::EndsWith("ivelcard: nothing of the control is registered\n"));
}

TEST_F(Module, AboutAndDrawAcrossTheModuleBoundary) {
    ProcessResult r = ivelcard({"about"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, ::testing::HasSubstr("关于 二代身份证阅读器控件"));
    EXPECT_THAT(r.err, ::testing::HasSubstr("确定"));

    r = ivelcard({"draw", "30x20", "--out", scratch_ / "control.bmp"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string bmp = readFile(scratch_ / "control.bmp");
    ASSERT_EQ(bmp.size(), 54u + 20u * 92u);
    // Bottom row first, blue-green-red: the corner is white, the bottom edge's middle is the outline.
    EXPECT_EQ(bmp.substr(54, 3), "\xFF\xFF\xFF");
    EXPECT_EQ(bmp.substr(54 + 15 * 3, 3), std::string(3, '\0'));
}

}  // namespace
}  // namespace moduletest
