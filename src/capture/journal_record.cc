#include "capture/journal_record.h"

#include <array>
#include <bit>
#include <cstring>

#include "catalog/store_layout.h"
#include "platform/path.h"

namespace orv {
namespace {

// "OrvJ" in the file, read as a little-endian number.
constexpr uint32_t kMagic = 0x4A76724Fu;
constexpr size_t kHeaderBytes = 12;      // magic, payload length, CRC-32C of the payload
constexpr size_t kEntryFixedBytes = 80;  // type, kind, 0, three lengths, id, time, source
constexpr size_t kWatermarkBytes = 12;   // type, three 0 bytes, the ID
constexpr size_t kMaxPayloadBytes = kEntryFixedBytes + 3 * 2 * size_t{kMaxJournalTextUnits};

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

void PutU8(std::string* out, uint8_t v) { out->push_back(static_cast<char>(v)); }
void PutU16(std::string* out, uint16_t v) {
  PutU8(out, static_cast<uint8_t>(v));
  PutU8(out, static_cast<uint8_t>(v >> 8));
}
void PutU32(std::string* out, uint32_t v) {
  PutU16(out, static_cast<uint16_t>(v));
  PutU16(out, static_cast<uint16_t>(v >> 16));
}
void PutU64(std::string* out, uint64_t v) {
  PutU32(out, static_cast<uint32_t>(v));
  PutU32(out, static_cast<uint32_t>(v >> 32));
}
void PutText(std::string* out, std::u16string_view text) {
  if constexpr (std::endian::native == std::endian::little) {
    // The units are already in the record's byte order: one copy, on the
    // host's thread.
    out->append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
  } else {
    for (const char16_t unit : text) PutU16(out, static_cast<uint16_t>(unit));
  }
}

// Reads little-endian numbers from a bounded span; the caller checked the size.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  uint8_t U8() { return static_cast<uint8_t>(data_[at_++]); }
  uint16_t U16() {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | (uint16_t{U8()} << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (uint32_t{U16()} << 16);
  }
  uint64_t U64() {
    const uint64_t low = U32();
    return low | (uint64_t{U32()} << 32);
  }
  std::u16string Text(uint32_t units) {
    std::u16string text(units, u'\0');
    for (char16_t& unit : text) unit = static_cast<char16_t>(U16());
    return text;
  }

 private:
  std::string_view data_;
  size_t at_ = 0;
};

// Writes the header for the payload that follows it in out, from start on.
void Seal(std::string* out, size_t start) {
  const std::string_view payload(out->data() + start + kHeaderBytes,
                                 out->size() - start - kHeaderBytes);
  std::string header;
  PutU32(&header, kMagic);
  PutU32(&header, static_cast<uint32_t>(payload.size()));
  PutU32(&header, Crc32c(payload));
  out->replace(start, kHeaderBytes, header);
}

bool IsCopyName(std::u16string_view name) {
  return IsSnapshotName(name) && !IsPartialCopyName(name);
}

// Whether an entry read back is one the engine could have written: anything
// else is damage or tampering, never made into a row or a path.
bool IsPlausible(JournalRecordType type, const EditionEntry& entry) {
  if (entry.journalId == 0 || !IsPlainAbsolutePath(entry.path)) return false;
  if (!entry.secondPath.empty() && !IsPlainAbsolutePath(entry.secondPath)) return false;
  switch (entry.kind) {
    case EDITION_MODIFY:
    case EDITION_DELETE:
      return IsCopyName(entry.copyName);
    case EDITION_RENAME:
      // Renames are queued at once, never pending, and have no copy.
      return type == JournalRecordType::kConfirmed && entry.copyName.empty() &&
             !entry.secondPath.empty();
    default:
      return false;
  }
}

bool DecodePayload(std::string_view payload, JournalRecord* record) {
  if (payload.empty()) return false;
  Reader reader(payload);
  const uint8_t type = reader.U8();
  if (type == static_cast<uint8_t>(JournalRecordType::kWatermark)) {
    if (payload.size() != kWatermarkBytes) return false;
    if (reader.U8() != 0 || reader.U16() != 0) return false;
    record->type = JournalRecordType::kWatermark;
    record->watermark = static_cast<int64_t>(reader.U64());
    return record->watermark >= 0;
  }
  if (type != static_cast<uint8_t>(JournalRecordType::kPending) &&
      type != static_cast<uint8_t>(JournalRecordType::kConfirmed)) {
    return false;
  }
  if (payload.size() < kEntryFixedBytes) return false;
  record->type = static_cast<JournalRecordType>(type);
  EditionEntry& entry = record->entry;
  entry.kind = reader.U8();
  if (reader.U16() != 0) return false;
  const uint32_t pathUnits = reader.U32(), copyUnits = reader.U32(), secondUnits = reader.U32();
  if (pathUnits > kMaxJournalTextUnits || copyUnits > kMaxJournalTextUnits ||
      secondUnits > kMaxJournalTextUnits ||
      payload.size() != kEntryFixedBytes + 2 * (size_t{pathUnits} + copyUnits + secondUnits)) {
    return false;
  }
  entry.journalId = reader.U64();
  FileEventTime& t = entry.eventTime;
  for (uint16_t* field :
       {&t.Year, &t.Month, &t.DayOfWeek, &t.Day, &t.Hour, &t.Minute, &t.Second, &t.Milliseconds}) {
    *field = reader.U16();
  }
  FileState& source = entry.source;
  for (uint64_t* field :
       {&source.device, &source.inode, &source.size, &source.modification, &source.change}) {
    *field = reader.U64();
  }
  entry.path = reader.Text(pathUnits);
  entry.copyName = reader.Text(copyUnits);
  entry.secondPath = reader.Text(secondUnits);
  return IsPlausible(record->type, entry);
}

std::vector<JournalRecord> Finish(std::vector<JournalRecord> records, size_t skips,
                                  size_t* skipped) {
  if (skipped != nullptr) *skipped = skips;
  return records;
}

uint32_t Crc32cPortable(uint32_t crc, std::string_view data) {
  for (const char byte : data) {
    crc = kCrcTable[(crc ^ static_cast<uint8_t>(byte)) & 0xFF] ^ (crc >> 8);
  }
  return crc;
}

#if defined(__x86_64__)
// The processor's CRC-32C instruction: the record is checksummed on the host's
// thread, and a table walk would cost it a good part of a microsecond.
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, std::string_view data) {
  const char* at = data.data();
  size_t left = data.size();
  uint64_t wide = crc;
  for (; left >= 8; at += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, at, sizeof(word));
    wide = __builtin_ia32_crc32di(wide, word);
  }
  crc = static_cast<uint32_t>(wide);
  for (; left > 0; ++at, --left) crc = __builtin_ia32_crc32qi(crc, static_cast<uint8_t>(*at));
  return crc;
}
#endif

}  // namespace

uint32_t Crc32c(std::string_view data) {
#if defined(__x86_64__)
  static const bool hardware = __builtin_cpu_supports("sse4.2");
  if (hardware) return Crc32cHardware(0xFFFFFFFFu, data) ^ 0xFFFFFFFFu;
#endif
  return Crc32cPortable(0xFFFFFFFFu, data) ^ 0xFFFFFFFFu;
}

void EncodeEntryRecord(JournalRecordType type, const EditionEntry& entry, std::string* out) {
  if (entry.path.size() > kMaxJournalTextUnits || entry.copyName.size() > kMaxJournalTextUnits ||
      entry.secondPath.size() > kMaxJournalTextUnits) {
    return;
  }
  const size_t start = out->size();
  out->reserve(start + kHeaderBytes + kEntryFixedBytes +
               2 * (entry.path.size() + entry.copyName.size() + entry.secondPath.size()));
  out->append(kHeaderBytes, '\0');
  PutU8(out, static_cast<uint8_t>(type));
  PutU8(out, static_cast<uint8_t>(entry.kind));
  PutU16(out, 0);
  PutU32(out, static_cast<uint32_t>(entry.path.size()));
  PutU32(out, static_cast<uint32_t>(entry.copyName.size()));
  PutU32(out, static_cast<uint32_t>(entry.secondPath.size()));
  PutU64(out, entry.journalId);
  const FileEventTime& t = entry.eventTime;
  for (const uint16_t field :
       {t.Year, t.Month, t.DayOfWeek, t.Day, t.Hour, t.Minute, t.Second, t.Milliseconds}) {
    PutU16(out, field);
  }
  const FileState& source = entry.source;
  for (const uint64_t field :
       {source.device, source.inode, source.size, source.modification, source.change}) {
    PutU64(out, field);
  }
  PutText(out, entry.path);
  PutText(out, entry.copyName);
  PutText(out, entry.secondPath);
  Seal(out, start);
}

void EncodeWatermarkRecord(int64_t watermark, std::string* out) {
  const size_t start = out->size();
  out->append(kHeaderBytes, '\0');
  PutU8(out, static_cast<uint8_t>(JournalRecordType::kWatermark));
  PutU8(out, 0);
  PutU16(out, 0);
  PutU64(out, static_cast<uint64_t>(watermark));
  Seal(out, start);
}

std::vector<JournalRecord> DecodeJournal(std::string_view data, size_t* skipped) {
  std::vector<JournalRecord> records;
  size_t skips = 0;
  size_t at = 0;
  while (at + kHeaderBytes <= data.size()) {
    Reader header(data.substr(at, kHeaderBytes));
    const uint32_t magic = header.U32(), length = header.U32(), crc = header.U32();
    if (magic == kMagic && length <= kMaxPayloadBytes &&
        length <= data.size() - at - kHeaderBytes) {
      const std::string_view payload = data.substr(at + kHeaderBytes, length);
      JournalRecord record;
      if (Crc32c(payload) == crc && DecodePayload(payload, &record)) {
        records.push_back(std::move(record));
        at += kHeaderBytes + length;
        continue;
      }
    }
    // Not a record here: the next one starts at the next magic, if any.
    ++skips;
    const size_t next = data.find(std::string_view("OrvJ", 4), at + 1);
    if (next == std::string_view::npos) return Finish(std::move(records), skips, skipped);
    at = next;
  }
  // Bytes too few for a header at the end: a record torn in its header.
  if (at < data.size()) ++skips;
  return Finish(std::move(records), skips, skipped);
}

}  // namespace orv
