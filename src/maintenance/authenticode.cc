// The PE layout of an Authenticode signature: portable, no cryptography.
#include "maintenance/authenticode.h"

#include <cstring>

namespace orv {
namespace {

constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;
constexpr uint16_t kCertificateTypePkcsSignedData = 0x0002;
constexpr size_t kSecurityDirectoryIndex = 4;
constexpr uint64_t kMaxSignatureBytes = 16u << 20;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool ReadChecked(RandomAccessFile& source, uint64_t offset, void* buffer, size_t length) {
  const uint64_t size = source.size();
  if (offset > size || length > size - offset) return false;
  return source.ReadAt(offset, buffer, length);
}

}  // namespace

std::optional<PeSignatureLayout> ParsePeSignatureLayout(RandomAccessFile& source) {
  uint8_t dos[64];
  if (!ReadChecked(source, 0, dos, sizeof(dos)) || dos[0] != 'M' || dos[1] != 'Z') {
    return std::nullopt;
  }
  const uint64_t peOffset = Le32(dos + 0x3C);
  uint8_t pe[26];  // signature, COFF header, optional header magic
  if (!ReadChecked(source, peOffset, pe, sizeof(pe)) || std::memcmp(pe, "PE\0\0", 4) != 0) {
    return std::nullopt;
  }
  const uint16_t optionalHeaderSize = Le16(pe + 20);
  const uint64_t optionalHeader = peOffset + 24;
  uint64_t countOffset = 0, directoriesOffset = 0;
  switch (Le16(pe + 24)) {
    case kPe32Magic:
      countOffset = 92;
      directoriesOffset = 96;
      break;
    case kPe32PlusMagic:
      countOffset = 108;
      directoriesOffset = 112;
      break;
    default:
      return std::nullopt;
  }
  const uint64_t entryOffset = directoriesOffset + kSecurityDirectoryIndex * 8;
  if (optionalHeaderSize < entryOffset + 8) return std::nullopt;
  uint8_t count[4], entry[8];
  if (!ReadChecked(source, optionalHeader + countOffset, count, 4) ||
      Le32(count) <= kSecurityDirectoryIndex ||
      !ReadChecked(source, optionalHeader + entryOffset, entry, 8)) {
    return std::nullopt;
  }
  PeSignatureLayout layout;
  layout.checksumOffset = optionalHeader + 64;
  layout.certificateDirectoryOffset = optionalHeader + entryOffset;
  layout.certificateTableOffset = Le32(entry);
  layout.certificateTableSize = Le32(entry + 4);
  if (layout.certificateTableOffset == 0 || layout.certificateTableSize == 0) {
    layout.certificateTableOffset = source.size();
    layout.certificateTableSize = 0;
    return layout;
  }
  // The table must lie after the headers the digest skips, inside the file.
  if (layout.certificateTableOffset < layout.certificateDirectoryOffset + 8 ||
      layout.certificateTableOffset > source.size() ||
      layout.certificateTableSize > source.size() - layout.certificateTableOffset) {
    return std::nullopt;
  }
  return layout;
}

std::optional<std::vector<uint8_t>> ReadEmbeddedPkcs7(RandomAccessFile& source,
                                                      const PeSignatureLayout& layout) {
  uint8_t header[8];
  if (layout.certificateTableSize < sizeof(header) ||
      !ReadChecked(source, layout.certificateTableOffset, header, sizeof(header))) {
    return std::nullopt;
  }
  const uint32_t length = Le32(header);
  if (Le16(header + 6) != kCertificateTypePkcsSignedData || length <= sizeof(header) ||
      length > layout.certificateTableSize || length - sizeof(header) > kMaxSignatureBytes) {
    return std::nullopt;
  }
  std::vector<uint8_t> der(length - sizeof(header));
  if (!ReadChecked(source, layout.certificateTableOffset + sizeof(header), der.data(),
                   der.size())) {
    return std::nullopt;
  }
  return der;
}

std::u16string CutSignerName(std::u16string name) {
  if (name.size() > kMaxSignerNameUnits) {
    size_t keep = kMaxSignerNameUnits;
    if (name[keep - 1] >= 0xD800 && name[keep - 1] <= 0xDBFF) --keep;
    name.resize(keep);
  }
  return name;
}

}  // namespace orv
