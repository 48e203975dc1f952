#include "reader/Deployment.h"

#include <type_traits>

#include "platform/MessageBox.h"
#include "platform/ModuleState.h"
#include "platform/Resources.h"
#include "reader/ReaderLibrary.h"

namespace reader {
namespace {

using platform::ModuleHandle;

constexpr const char* kLoadFailedMessage = "Load IDCARD Dll Failed!";

// The embedded libraries in deployment order.
struct EmbeddedLibrary {
    long resourceId;
    const char* fileName;
    ModuleHandle ReaderLibrary::*module;
    bool showLoadFailure;  // the reader library fails silently, the portrait libraries say so
};
constexpr EmbeddedLibrary kLibraries[] = {
    {kReaderLibraryResource, "sdtapi.dll", &ReaderLibrary::readerModule, false},
    {kUnpackLibraryResource, "unpack.dll", &ReaderLibrary::unpackModule, true},
    {kDecoderLibraryResource, "WltRs.dll", &ReaderLibrary::decoderModule, true},
};

template <auto Field>
void storeFunction(ReaderLibrary& library, void* address) {
    using Function = std::remove_reference_t<decltype(library.*Field)>;
    library.*Field = reinterpret_cast<Function>(address);
}

template <auto Field>
void* boundFunction(const ReaderLibrary& library) {
    return reinterpret_cast<void*>(library.*Field);
}

// Writes and reads one function entry of the table.
struct FunctionSlot {
    void (*store)(ReaderLibrary&, void*);
    void* (*bound)(const ReaderLibrary&);
};
template <auto Field>
constexpr FunctionSlot slot{storeFunction<Field>, boundFunction<Field>};

// The thirteen functions in binding order, with the message shown when one
// is missing.
struct Binding {
    const char* exportName;
    ModuleHandle ReaderLibrary::*module;
    FunctionSlot function;
    const char* missingMessage;
};
constexpr Binding kBindings[] = {
    {"SDT_OpenPort", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_OpenPort>,
     "Could not get SDT_OpenPort address!"},
    {"SDT_ClosePort", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_ClosePort>,
     "Could not get SDT_ClosePort address!"},
    {"SDT_StartFindIDCard", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_StartFindIDCard>,
     "Could not get SDT_StartFindIDCard address!"},
    {"SDT_SelectIDCard", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_SelectIDCard>,
     "Could not get SDT_SelectIDCard address!"},
    {"SDT_ReadBaseMsg", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_ReadBaseMsg>,
     "Could not get SDT_ReadBaseMsg address!"},
    {"SDT_ReadBaseFPMsg", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_ReadBaseFPMsg>,
     "Could not get SDT_ReadBaseFPMsg address!"},
    {"SDT_ReadNewAppMsg", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_ReadNewAppMsg>,
     "Could not get SDT_ReadNewAppMsg address!"},
    {"SDT_GetSAMStatus", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_GetSAMStatus>,
     "Could not get SDT_GetSAMStatus address!"},
    {"SDT_GetSAMID", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_GetSAMID>,
     "Could not get SDT_GetSAMID address!"},
    {"SDT_GetSAMIDToStr", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_GetSAMIDToStr>,
     "Could not get SDT_GetSAMIDToStr address!"},
    {"SDT_SetMaxRFByte", &ReaderLibrary::readerModule, slot<&ReaderLibrary::SDT_SetMaxRFByte>,
     "Could not get SDT_SetMaxRFByte address!"},
    {"Unpack", &ReaderLibrary::unpackModule, slot<&ReaderLibrary::Unpack>,
     "Could not get Unpack address!"},
    {"GetBmp", &ReaderLibrary::decoderModule, slot<&ReaderLibrary::GetBmp>,
     "Could not get TOV_GetBmp address!"},
};

// A constant text of this module; its address identifies the module when the
// framework's record does not.
constexpr char kModuleMarker[] = "ivelcard";

void showMessage(const char* text) { platform::messageBox(text, "", MB_OK); }

ModuleHandle findOwnModule() {
    if (ModuleHandle base = platform::moduleContainingAddress(platform::currentModuleState().instance)) {
        return base;
    }
    return platform::moduleContainingAddress(kModuleMarker);
}

// True when the three libraries of `directory` are the ones the table holds,
// loaded in this process, and all thirteen functions are bound: deploying
// again would write nothing and bind the same addresses, so the table is left
// as it is.
bool alreadyInPlace(const ReaderLibrary& library, const std::string& directory) {
    for (const EmbeddedLibrary& embedded : kLibraries) {
        const ModuleHandle held = library.*embedded.module;
        if (held == nullptr) return false;
        const ModuleHandle loaded = platform::loadedLibrary(directory + embedded.fileName);
        if (loaded == nullptr) return false;
        platform::releaseLibrary(loaded);  // only asked; the table keeps its own reference
        if (loaded != held) return false;
    }
    for (const Binding& binding : kBindings) {
        void* address = platform::procAddress(library.*binding.module, binding.exportName);
        if (address == nullptr || address != binding.function.bound(library)) return false;
    }
    return true;
}

}  // namespace

ReaderLibrary& readerLibrary() {
    static ReaderLibrary library;
    return library;
}

std::recursive_mutex& readerLibraryLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::string workDirectoryPathFrom(const std::string& tempPath) {
    std::string path = tempPath;
    if (path.empty() || path.back() != platform::kPathSeparator) path += platform::kPathSeparator;
    path += kWorkDirectoryName;
    path += platform::kPathSeparator;
    return path;
}

std::string workDirectoryPath() {
    const std::string temp = platform::tempPath();
    if (temp.empty()) return {};
    std::string path = workDirectoryPathFrom(temp);
    // A directory that is already there and ours needs no creating.
    if (platform::isOwnDirectory(path, platform::DirectoryCheck::NotWritableByOthers)) return path;
    platform::makeSureDirectoryPathExists(path);
    const std::string why = platform::directoryRefusal(path, platform::DirectoryCheck::NotWritableByOthers);
    if (why.empty()) return path;
    platform::reportProblem("the work directory " + path + " is refused: it " + why +
                            "; the reader libraries are not deployed (remove it)");
    return {};
}

ModuleHandle writeAndLoadLibrary(const std::string& path, const void* bytes, std::size_t size) {
    switch (platform::writeFileReplacing(path, bytes, size)) {
        case platform::WriteOutcome::InUse:
        case platform::WriteOutcome::Written:
            return platform::loadLibrary(path);
        case platform::WriteOutcome::Failed:
            break;
    }
    return nullptr;
}

bool deployReaderLibraries() {
    ReaderLibrary& library = readerLibrary();
    const std::string directory = workDirectoryPath();
    if (directory.empty()) return false;

    library.ownModule = findOwnModule();
    if (library.ownModule == nullptr) return false;
    if (alreadyInPlace(library, directory)) return true;

    for (const EmbeddedLibrary& embedded : kLibraries) library.*embedded.module = nullptr;

    for (const EmbeddedLibrary& embedded : kLibraries) {
        const platform::ResourceHandle resource =
            platform::findResource(library.ownModule, embedded.resourceId, kLibraryResourceType);
        if (resource == nullptr) return false;
        const void* loaded = platform::loadResource(library.ownModule, resource);
        if (loaded == nullptr) continue;  // binding fails at this library's first function
        const std::size_t size = platform::sizeofResource(library.ownModule, resource);
        const void* bytes = platform::lockResource(loaded);
        ModuleHandle module = writeAndLoadLibrary(directory + embedded.fileName, bytes, size);
        library.*embedded.module = module;
        if (module == nullptr) {
            if (embedded.showLoadFailure) showMessage(kLoadFailedMessage);
            return false;
        }
    }

    for (const Binding& binding : kBindings) {
        void* address = platform::procAddress(library.*binding.module, binding.exportName);
        if (address == nullptr) {
            showMessage(binding.missingMessage);
            return false;
        }
        binding.function.store(library, address);
    }
    return true;
}

}  // namespace reader
