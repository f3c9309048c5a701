#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

struct JpegRows;

// The one JPEG encoder that frame composition and the motion snapshots share. It keeps a
// single compression object for its whole life; the quality is set again before every file.
class JpegWriter {
public:
    JpegWriter();
    ~JpegWriter();
    JpegWriter(const JpegWriter&) = delete;
    JpegWriter& operator=(const JpegWriter&) = delete;

    // Clamps to 0..100 and hands it to the encoder with baseline tables forced; returns it.
    int SetQuality(int quality);
    // Encodes 24-bit blue, green, red rows padded to 4 bytes. A positive height is a
    // bottom-up block (the last row in memory is the top of the picture), a negative one a
    // top-down block. The file is written beside the target and renamed over it, so a
    // failure leaves the previous file whole. 0 after writing, -1 on any failure.
    int WriteFile(const uint8_t* pixels, int width, int height, const std::string& path);
    // Encodes the same rows into memory: `out` holds the JPEG file's bytes. 0 or -1.
    int Encode(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);
    // The same for a picture given as its rows, top to bottom, each `width` pixels of
    // blue, green and red, wherever each row lies.
    int WriteRowsFile(std::span<const uint8_t* const> rows, int width, const std::string& path);
    int EncodeRows(std::span<const uint8_t* const> rows, int width, std::vector<uint8_t>& out);
    // The encoder's message for the last failure (empty when the last write succeeded).
    const std::string& LastError() const { return m_lastError; }

private:
    bool CanEncode(const uint8_t* pixels, int width, int height);
    bool CanEncode(std::span<const uint8_t* const> rows, int width);
    int EncodeSource(const JpegRows* rows, std::vector<uint8_t>& out);
    int WriteSource(const JpegRows* rows, const std::string& path);

    struct State;
    std::unique_ptr<State> m_state;
    int m_quality = 75;
    std::string m_lastError;
};

} // namespace kestrel
