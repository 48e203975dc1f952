// Helpers shared by the image tests: deterministic test images, laying them
// out as BMP-style rows, building BMP images, and decoding JPEG and Base64
// independently of the code under test.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace cardface::test {

using Bytes = std::vector<std::uint8_t>;

// Top-down red-green-blue pixels without padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    Bytes rgb;
};

// Gradients with a little deterministic noise, so every channel and both
// orders matter.
inline RgbImage patternImage(int width, int height) {
    RgbImage image{width, height, Bytes(static_cast<std::size_t>(width) * height * 3)};
    std::uint32_t state = 12345;
    std::size_t i = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            const int noise = static_cast<int>(state >> 28);
            image.rgb[i++] = static_cast<std::uint8_t>((x * 255 / std::max(width, 2) + noise) & 0xFF);
            image.rgb[i++] = static_cast<std::uint8_t>((y * 255 / std::max(height, 2) + noise) & 0xFF);
            image.rgb[i++] = static_cast<std::uint8_t>(((x + y) * 7 + noise * 3) & 0xFF);
        }
    }
    return image;
}

// Random pixels: compress badly, to overflow small buffers.
inline RgbImage noiseImage(int width, int height, std::uint32_t seed) {
    RgbImage image{width, height, Bytes(static_cast<std::size_t>(width) * height * 3)};
    for (auto& b : image.rgb) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return image;
}

inline std::size_t strideOf(int width, bool padded) {
    const std::size_t bytes = static_cast<std::size_t>(width) * 3;
    return padded ? (bytes + 3) / 4 * 4 : bytes;
}

// The image's rows in memory as the encoder reads them; padding bytes hold
// padByte, so a test sees whether anything touched them.
inline Bytes layRows(const RgbImage& image, bool padded, bool bgr, bool bottomUp,
                     std::uint8_t padByte = 0xEE) {
    const std::size_t stride = strideOf(image.width, padded);
    Bytes rows(stride * image.height, padByte);
    for (int y = 0; y < image.height; ++y) {
        const int at = bottomUp ? image.height - 1 - y : y;
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* p = &image.rgb[(static_cast<std::size_t>(y) * image.width + x) * 3];
            std::uint8_t* q = &rows[stride * at + static_cast<std::size_t>(x) * 3];
            q[0] = bgr ? p[2] : p[0];
            q[1] = p[1];
            q[2] = bgr ? p[0] : p[2];
        }
    }
    return rows;
}

inline void putLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A complete 24-bit BMP image of the given pixels; the header carries
// headerWidth and headerHeight, which may lie.
inline Bytes bmpImage(const RgbImage& image, std::int32_t headerWidth, std::int32_t headerHeight) {
    Bytes bmp(54, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    putLe32(bmp, 10, 54);
    putLe32(bmp, 14, 40);
    putLe32(bmp, 18, static_cast<std::uint32_t>(headerWidth));
    putLe32(bmp, 22, static_cast<std::uint32_t>(headerHeight));
    bmp[26] = 1;
    bmp[28] = 24;
    const Bytes rows = layRows(image, true, true, true, 0);
    bmp.insert(bmp.end(), rows.begin(), rows.end());
    putLe32(bmp, 2, static_cast<std::uint32_t>(bmp.size()));
    return bmp;
}

inline Bytes bmpImage(const RgbImage& image) { return bmpImage(image, image.width, image.height); }

struct Decoded {
    int width = 0;
    int height = 0;
    Bytes rgb;
};

inline Decoded decodeJpeg(const Bytes& stream) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    Decoded d{static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), {}};
    d.rgb.resize(static_cast<std::size_t>(d.width) * d.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = d.rgb.data() + static_cast<std::size_t>(cinfo.output_scanline) * d.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return d;
}

// Strict Base64 decoding (standard alphabet, padding required); sets ok to
// false on any character outside the alphabet or misplaced padding.
inline Bytes decodeBase64(const std::string& text, bool& ok) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    ok = text.size() % 4 == 0;
    Bytes out;
    for (std::size_t i = 0; ok && i < text.size(); i += 4) {
        std::uint32_t group = 0;
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && k >= 2 && i + 4 == text.size()) {
                ++pad;
                group <<= 6;
                continue;
            }
            const auto at = alphabet.find(c);
            if (at == std::string::npos || pad > 0) {
                ok = false;
                return out;
            }
            group = (group << 6) | static_cast<std::uint32_t>(at);
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (pad < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
        if (pad < 1) out.push_back(static_cast<std::uint8_t>(group));
    }
    return out;
}

}  // namespace cardface::test
