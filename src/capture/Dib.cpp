#include "capture/Dib.h"

#include <cstdlib>
#include <cstring>

namespace kestrel {

// ---------------------------------------------------------------------------------------------
// CDib

void CDib::Clear() {
    m_problem = DibProblem::None;
    m_file.clear();
    m_pixelOffset = 0;
    m_palette.clear();
    m_image = QImage();
    m_imageMade = false;
    m_keyed = Keyed{};
}

size_t CDib::Load(const std::string& path, int* openError) {
    Clear();
    std::vector<uint8_t> bytes;
    int err = 0;
    if (!ReadWholeFile(path, bytes, &err)) {
        if (openError)
            *openError = err;
        m_problem = DibProblem::CannotOpen;
        return 0;
    }
    return Adopt(bytes);
}

size_t CDib::Read(std::span<const uint8_t> file) {
    Clear();
    m_problem = CheckBmpFile(file);
    if (m_problem != DibProblem::None)
        return 0;
    m_file.assign(file.begin(), file.end());
    return Accept();
}

size_t CDib::Adopt(std::vector<uint8_t>& file) {
    Clear();
    m_problem = CheckBmpFile(file);
    if (m_problem != DibProblem::None)
        return 0;
    m_file.swap(file);
    return Accept();
}

void CDib::Release(std::vector<uint8_t>& file) {
    file.swap(m_file);
    Clear();
}

size_t CDib::Accept() {
    m_pixelOffset = ReadAt<BITMAPFILEHEADER>(m_file, 0).bfOffBits;
    CreatePalette();
    return m_file.size();
}

std::vector<uint8_t> CDib::Write() const {
    if (IsEmpty())
        return {};
    return NormalisedBmpFile(HeaderBlock(), PixelBlock());
}

const BITMAPINFOHEADER* CDib::Info() const {
    return m_file.size() >= kBmpFileHeaderSize + kBmpInfoHeaderSize
               ? reinterpret_cast<const BITMAPINFOHEADER*>(m_file.data() + kBmpFileHeaderSize)
               : nullptr;
}

int CDib::Width() const {
    return Info() ? Info()->biWidth : 0;
}
int CDib::Height() const {
    return Info() ? std::abs(Info()->biHeight) : 0;
}
uint32_t CDib::ColourCount() const {
    return Info() ? DibColourCount(*Info()) : 0;
}

bool CDib::CreatePalette() {
    m_palette.clear();
    const uint32_t count = ColourCount();
    if (count == 0)
        return true;
    const BITMAPINFOHEADER* ih = Info();
    const size_t start =
        ih->biSize + ((ih->biCompression == BI_BITFIELDS && ih->biSize == kBmpInfoHeaderSize) ? 12 : 0);
    const auto header = HeaderBlock();
    for (uint32_t i = 0; i < count && start + 4ull * i + 4 <= header.size(); ++i) {
        const uint8_t* q = header.data() + start + 4ull * i;
        m_palette.push_back(qRgb(q[2], q[1], q[0]));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// DibBuffer

void DibBuffer::Free() {
    m_tag = 0;
    m_capturedUs = 0;
    m_header.clear();
    m_header.shrink_to_fit();
    m_pixels.clear();
    m_pixels.shrink_to_fit();
}

uint32_t DibBuffer::Stride() const {
    const BITMAPINFOHEADER* ih = Info();
    return ih ? static_cast<uint32_t>(DibStride(ih->biWidth, ih->biBitCount)) : 0;
}

std::vector<uint8_t> DibBuffer::ToBmpFile() const {
    std::vector<uint8_t> out;
    ToBmpFile(out);
    return out;
}

void DibBuffer::ToBmpFile(std::vector<uint8_t>& out) const {
    if (IsEmpty()) {
        out.clear();
        return;
    }
    WriteBmpFile(m_header, m_pixels, out);
}

uint8_t* DibBuffer::Prepare(const BITMAPINFOHEADER& header) {
    m_tag = 0;
    m_header.resize(kBmpInfoHeaderSize);
    std::memcpy(m_header.data(), &header, kBmpInfoHeaderSize);
    m_pixels.resize(DibStride(header.biWidth, header.biBitCount) *
                    static_cast<uint64_t>(std::abs(header.biHeight)));
    return m_pixels.data();
}

bool DibBuffer::LoadBmp(const std::string& path, unsigned depthMask) {
    Free();
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes))
        return false;
    return LoadBmpBytes(bytes, depthMask);
}

bool DibBuffer::LoadBmpBytes(std::span<const uint8_t> file, unsigned depthMask) {
    Free();
    return DecodeBmpFile(file, depthMask, m_header, m_pixels);
}

bool DibBuffer::CopyFrom(std::span<const uint8_t> header, std::span<const uint8_t> pixels) {
    m_tag = 0;
    m_header.clear();
    m_pixels.clear(); // keeps the memory for a picture of the same size
    if (header.size() < kBmpInfoHeaderSize)
        return false;
    auto ih = ReadAt<BITMAPINFOHEADER>(header, 0);
    if (!IsKnownBmpDepth(ih.biBitCount) || !BmpDimensionsAcceptable(ih.biWidth, ih.biHeight))
        return false;
    const uint64_t colours = DibColourCount(ih);
    const uint64_t headerBytes = kBmpInfoHeaderSize + 4 * colours;
    uint64_t imageSize = ih.biSizeImage;
    if (imageSize == 0)
        imageSize = DibStride(ih.biWidth, ih.biBitCount) * static_cast<uint64_t>(std::abs(ih.biHeight));
    if (header.size() < headerBytes || pixels.size() < imageSize)
        return false;
    m_header.assign(header.begin(), header.begin() + static_cast<ptrdiff_t>(headerBytes));
    m_pixels.assign(pixels.begin(), pixels.begin() + static_cast<ptrdiff_t>(imageSize));
    return true;
}

bool DibBuffer::InitHeader(BITMAPINFOHEADER& h, int width, int height, int bits) {
    if (!IsKnownBmpDepth(bits))
        return false;
    h = BITMAPINFOHEADER{};
    h.biSize = kBmpInfoHeaderSize;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<uint16_t>(bits);
    h.biCompression = BI_RGB;
    h.biClrUsed = bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0;
    h.biSizeImage = static_cast<uint32_t>(static_cast<uint64_t>(std::abs(static_cast<int64_t>(height))) *
                                          DibStride(width, bits));
    return true;
}

} // namespace kestrel
