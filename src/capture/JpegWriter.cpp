#include "capture/JpegWriter.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

extern "C" {
#include <jpeglib.h>
}

namespace kestrel {

namespace {

// The library reports errors through error_exit, which must not return. It jumps back to
// the setjmp in Compress, a function that holds no C++ objects with destructors, so the
// jump never skips one.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void OnMessage(j_common_ptr) {} // warnings are not shown

} // namespace

// Where the rows of a picture are: a block of padded rows (bottom-up or top-down), or one
// pointer a row, top to bottom. Plain data, as Compress needs.
struct JpegRows {
    const uint8_t* pixels = nullptr;
    size_t stride = 0;
    bool topDown = false;
    const uint8_t* const* rows = nullptr;
    int width = 0, height = 0;

    const uint8_t* Row(JDIMENSION y) const {
        if (rows)
            return rows[y];
        return pixels + (topDown ? y : static_cast<size_t>(height) - 1 - y) * stride;
    }
};

namespace {

// Plain data only between setjmp and every library call below.
bool Compress(jpeg_compress_struct* cinfo, ErrorManager* err, std::FILE* out, const JpegRows* source) {
    if (setjmp(err->jump)) {
        jpeg_abort_compress(cinfo);
        return false;
    }
    jpeg_default_colorspace(cinfo);
    cinfo->in_color_space = JCS_EXT_BGR;
    cinfo->input_components = 3;
    cinfo->data_precision = 8;
    cinfo->image_width = static_cast<JDIMENSION>(source->width);
    cinfo->image_height = static_cast<JDIMENSION>(source->height);
    jpeg_stdio_dest(cinfo, out);
    jpeg_start_compress(cinfo, TRUE);
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(source->Row(cinfo->next_scanline));
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    return true;
}

JpegRows BlockRows(const uint8_t* pixels, int width, int height) {
    JpegRows source;
    source.pixels = pixels;
    source.stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    source.topDown = height < 0;
    source.width = width;
    source.height = std::abs(height);
    return source;
}

JpegRows PointerRows(std::span<const uint8_t* const> rows, int width) {
    JpegRows source;
    source.rows = rows.data();
    source.width = width;
    source.height = static_cast<int>(std::min<size_t>(rows.size(), INT32_MAX));
    return source;
}

} // namespace

struct JpegWriter::State {
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    bool created = false;
};

JpegWriter::JpegWriter() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.cinfo.err = jpeg_std_error(&s.err.pub);
    s.err.pub.error_exit = OnError;
    s.err.pub.output_message = OnMessage;
    if (setjmp(s.err.jump)) {
        // Only running out of memory gets here; WriteFile then reports failure.
        jpeg_destroy_compress(&s.cinfo);
        m_lastError = s.err.message;
        return;
    }
    jpeg_create_compress(&s.cinfo);
    s.cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&s.cinfo);
    s.cinfo.in_color_space = JCS_EXT_BGR;
    s.created = true;
}

JpegWriter::~JpegWriter() {
    if (m_state->created)
        jpeg_destroy_compress(&m_state->cinfo);
}

int JpegWriter::SetQuality(int quality) {
    m_quality = std::clamp(quality, 0, 100);
    State& s = *m_state;
    if (!s.created)
        return m_quality;
    if (setjmp(s.err.jump)) {
        m_lastError = s.err.message;
        return m_quality;
    }
    jpeg_set_quality(&s.cinfo, m_quality, TRUE);
    return m_quality;
}

bool JpegWriter::CanEncode(const uint8_t* pixels, int width, int height) {
    m_lastError.clear();
    if (!m_state->created || !pixels || width <= 0 || height == 0 || width > JPEG_MAX_DIMENSION ||
        std::abs(height) > JPEG_MAX_DIMENSION) {
        m_lastError = "nothing to encode";
        return false;
    }
    return true;
}

bool JpegWriter::CanEncode(std::span<const uint8_t* const> rows, int width) {
    if (rows.empty() || rows.size() > JPEG_MAX_DIMENSION ||
        std::find(rows.begin(), rows.end(), nullptr) != rows.end()) {
        m_lastError = "nothing to encode";
        return false;
    }
    return CanEncode(rows.front(), width, static_cast<int>(rows.size()));
}

int JpegWriter::Encode(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out) {
    out.clear();
    if (!CanEncode(pixels, width, height))
        return -1;
    const JpegRows source = BlockRows(pixels, width, height);
    return EncodeSource(&source, out);
}

int JpegWriter::EncodeRows(std::span<const uint8_t* const> rows, int width, std::vector<uint8_t>& out) {
    out.clear();
    if (!CanEncode(rows, width))
        return -1;
    const JpegRows source = PointerRows(rows, width);
    return EncodeSource(&source, out);
}

int JpegWriter::EncodeSource(const JpegRows* rows, std::vector<uint8_t>& out) {
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* stream = ::open_memstream(&data, &size);
    if (!stream) {
        m_lastError = ErrorText(errno);
        return -1;
    }
    State& s = *m_state;
    const bool ok = Compress(&s.cinfo, &s.err, stream, rows);
    const bool closed = std::fclose(stream) == 0;
    if (ok && closed)
        out.assign(data, data + size);
    std::free(data);
    if (!ok || !closed) {
        m_lastError = ok ? std::string("out of memory") : std::string(s.err.message);
        return -1;
    }
    return 0;
}

int JpegWriter::WriteFile(const uint8_t* pixels, int width, int height, const std::string& path) {
    if (!CanEncode(pixels, width, height))
        return -1;
    const JpegRows source = BlockRows(pixels, width, height);
    return WriteSource(&source, path);
}

int JpegWriter::WriteRowsFile(std::span<const uint8_t* const> rows, int width, const std::string& path) {
    if (!CanEncode(rows, width))
        return -1;
    const JpegRows source = PointerRows(rows, width);
    return WriteSource(&source, path);
}

int JpegWriter::WriteSource(const JpegRows* rows, const std::string& path) {
    State& s = *m_state;
    AtomicFile file(path);
    if (!file.Open()) {
        m_lastError = ErrorText(file.Error());
        return -1;
    }
    if (!Compress(&s.cinfo, &s.err, file.Stream(), rows)) {
        m_lastError = s.err.message;
        return -1;
    }
    if (!file.Commit()) {
        m_lastError = ErrorText(file.Error());
        return -1;
    }
    return 0;
}

} // namespace kestrel
