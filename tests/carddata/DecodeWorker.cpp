// One of the processes of the concurrent decode test: decodes its own
// portrait again and again in the shared work directory (from the
// environment) and counts the bitmaps that are not its own.
//
//   carddata_decode_worker DECODER PHOTO EXPECTED-BITMAP COUNT READY OTHER-READY
//
// It announces itself by creating READY and starts once OTHER-READY exists,
// so that both processes decode at the same time. Exit status 0 when every
// decode gave the expected bitmap.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "carddata/PortraitDecoder.h"
#include "platform/System.h"
#include "reader/ReaderLibrary.h"
#include "support/TestSupport.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s DECODER PHOTO EXPECTED COUNT READY OTHER-READY\n", argv[0]);
        return 64;
    }
    platform::ModuleHandle library = platform::loadLibrary(argv[1]);
    reader::readerLibrary().GetBmp = reinterpret_cast<reader::GetBmpFn>(platform::procAddress(library, "GetBmp"));
    const std::string photo = testsupport::readFile(argv[2]);
    const std::string expected = testsupport::readFile(argv[3]);
    const int count = std::atoi(argv[4]);
    if (reader::readerLibrary().GetBmp == nullptr || photo.size() != carddata::kPhotoDataSize ||
        expected.size() != carddata::kPortraitBitmapSize) {
        std::fprintf(stderr, "worker: bad decoder or data\n");
        return 2;
    }

    testsupport::writeFile(argv[5], "ready");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(argv[6])) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "worker: the other process never started\n");
            return 3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    auto record = std::make_unique<carddata::IdentityRecord>();
    std::memcpy(record->photoData, photo.data(), carddata::kPhotoDataSize);
    int failed = 0;
    int wrong = 0;
    for (int i = 0; i < count; ++i) {
        std::memset(record->portraitBitmap, 0, carddata::kPortraitBitmapSize);
        if (carddata::decodePortrait(record->photoData, record->portraitBitmap) != carddata::kPortraitDecoded) {
            ++failed;
        } else if (std::memcmp(record->portraitBitmap, expected.data(), carddata::kPortraitBitmapSize) != 0) {
            ++wrong;
        }
    }
    std::printf("%d decodes, %d failed, %d wrong\n", count, failed, wrong);
    return failed == 0 && wrong == 0 ? 0 : 1;
}
