// The dataset stream format: a TCustomMemTable saved to, or loaded from, one
// byte block built of filer values (dataset_filer.h).
//
// Block layout:
//   "TPF0"                         4 bytes, no type byte
//   stream version                 integer, 25100 when saving (03 0C 62)
//   field definitions              list; per saved field (only with DefinitionFlags save):
//                                    name (text); unless ShortDefinitions save: type name
//                                    (text), size (integer), display label (text), edit mask
//                                    (text), display width (integer), required (boolean),
//                                    read-only (boolean), kind name (text; "Data" unless
//                                    FieldKindFlags), default expression (text); then origin
//                                    (text), in-key, in-update, in-where, hidden (booleans).
//                                    Origin and the flags exist from version 10200 on.
//   index definitions              list; per index (only with IndexDefinitionFlags save):
//                                    name, fields, display name (texts), descending,
//                                    case-insensitive, non-maintained, unique (booleans)
//   saved field names              list of texts, in field order
//   records                        list; per record: record id (integer), then a list of
//                                    versions: update status (integer), then per saved field
//                                    false (reserved), null flag (boolean) and, when not
//                                    null, the value. The record itself comes first; with
//                                    DeltaFlags save its older versions follow, newest first.
//
// Values by field type: integer types as integers; Boolean as a boolean;
// Float, Date, Time, DateTime as floats (80-bit extended); Currency and BCD as
// the amount / 10000 as a float; LargeInt as a float (exact: the 64-bit
// significand holds every int64); Blob, Memo, Graphic, FmtMemo as the byte
// count (integer) and the raw bytes; WideString as wide text; FMTBcdField as
// its 34 raw bytes (a float in blocks older than 25100); every other type as
// text.
//
// Switches: a two-bit switch uses sfSave (bit 0) for saving and sfLoad (bit 1)
// for loading; a one-bit switch uses bit 0 for the action it names.
//
// Failures: EReadError "Invalid stream format" (signature), "Invalid property
// value" (a value of an unexpected type or out of range), "Stream read error"
// (the block ends early, or a length announces more bytes than remain);
// EMemTableError "Unknown field type (<name>)", "Couldnt determine field count
// for load.", "No format specified.", and "Dataset block too large for the
// table." when the records would create more field values than about 8 per
// block byte (a block listing a few fields of a table with very many). A failed save leaves the
// target untouched; a failed load keeps the records appended before the failure.
#ifndef TALLYVOX_MIDDLEWARE_WIRE_DATASET_STREAM_FORMAT_H_
#define TALLYVOX_MIDDLEWARE_WIRE_DATASET_STREAM_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "middleware/wire/memory_stream.h"
#include "middleware/wire/memory_table.h"

namespace tallyvox::mw {

class TFilerReader;
class TFilerWriter;

using TStreamFlags = uint8_t;
// Two-bit switches.
inline constexpr TStreamFlags sfSave = 1;
inline constexpr TStreamFlags sfLoad = 2;
inline constexpr TStreamFlags sfSaveCalculated = 1, sfLoadCalculated = 2;
inline constexpr TStreamFlags sfSaveLookup = 1, sfLoadLookup = 2;
// One-bit switches.
inline constexpr TStreamFlags sfSaveFiltered = 1;
inline constexpr TStreamFlags sfSaveIgnoreRange = 1;
inline constexpr TStreamFlags sfSaveIgnoreMasterDetail = 1;
inline constexpr TStreamFlags sfSaveDeltas = 1;       // DeltaFlags
inline constexpr TStreamFlags sfKeepDeltaPairs = 1;   // KeepDeltaPairs
inline constexpr TStreamFlags sfSaveFieldKind = 1;    // FieldKindFlags
inline constexpr TStreamFlags sfLoadFromStart = 1;    // FromStartFlags
inline constexpr TStreamFlags sfSaveLargeFields = 1;  // sfLargeFields
// AppendFlags.
inline constexpr TStreamFlags sfAppend = 1;
inline constexpr TStreamFlags sfInsert = 2;

inline constexpr int32_t kDatasetStreamVersion = 25100;

// Switches and the save and load driver.
class TCustomStreamFormat {
 public:
  virtual ~TCustomStreamFormat() = default;

  TStreamFlags DataFlags = sfSave | sfLoad;
  TStreamFlags sfCalculated = 0;
  TStreamFlags sfLookup = 0;
  TStreamFlags InvisibleFlags = sfSave | sfLoad;
  TStreamFlags BlobFlags = sfSave | sfLoad;
  TStreamFlags DefinitionFlags = sfSave | sfLoad;
  TStreamFlags IndexDefinitionFlags = sfSave | sfLoad;
  TStreamFlags sfFiltered = sfSaveFiltered;
  TStreamFlags sfIgnoreRange = sfSaveIgnoreRange;
  TStreamFlags sfIgnoreMasterDetail = sfSaveIgnoreMasterDetail;
  TStreamFlags DeltaFlags = 0;
  TStreamFlags KeepDeltaPairs = 0;
  TStreamFlags AppendFlags = 0;
  TStreamFlags FieldKindFlags = sfSaveFieldKind;
  TStreamFlags FromStartFlags = sfLoadFromStart;
  TStreamFlags sfLargeFields = 0;

  // Receives the finished block and returns the bytes to write; unset here.
  std::function<std::string(std::string_view block)> OnCompress;
  // Receives the source from the load position and returns the block to
  // read (the source is then consumed to its end); unset here.
  std::function<std::string(std::string_view source)> OnDecompress;

  // Writes the table as one block into `target` at the end (AppendFlags
  // append), at `position` (insert, overwriting and growing), or after
  // truncating it (neither). `position` ends after the block.
  void Save(TCustomMemTable& table, std::string& target, size_t& position);
  // The same over a memory stream (its position is the target position).
  void Save(TCustomMemTable& table, TMwMemoryStream& target);
  // Convenience: a fresh block.
  std::string SaveToString(TCustomMemTable& table);

  // Reads one block from `source` at `position` (0 with FromStartFlags) and
  // advances `position` past what was read. A position beyond the source
  // reads as an empty block.
  void Load(TCustomMemTable& table, std::string_view source, size_t& position);
  // The same over a memory stream (e.g. a response's STREAM section): reads
  // from its position (or 0 with FromStartFlags) and leaves it after the block.
  void Load(TCustomMemTable& table, TMwMemoryStream& source);
  void LoadFromString(TCustomMemTable& table, std::string_view source);

 protected:
  // Which of the table's fields a save writes, in field order.
  std::vector<int> SavedFields(const TCustomMemTable& table) const;
  // True when a field takes part in a load.
  bool LoadsField(const TField& field) const;
  // Whether the table as switched shows the record while saving.
  virtual bool ShowsWhileSaving(const TCustomMemTable& table, const TMemRecord& record) const;

  // The whole block as it goes to the target (after the compression hook).
  std::string BuildBlock(TCustomMemTable& table);

  virtual void SaveDefinitions(TCustomMemTable& table, TFilerWriter& writer) = 0;
  virtual void SaveData(TCustomMemTable& table, TFilerWriter& writer) = 0;
  virtual void LoadDefinitions(TCustomMemTable& table, TFilerReader& reader) = 0;
  virtual void LoadData(TCustomMemTable& table, TFilerReader& reader) = 0;

 private:
  Mutex transfer_mutex_;  // one transfer at a time, taken before the table's lock
};

// The middleware's transfer configurations.
class TMwCustomStreamFormat : public TCustomStreamFormat {
 public:
  TStreamFlags ShortDefinitions = 0;  // sfSave: write only name, origin, provider flags
  bool UseExistingFields = false;     // match loaded definitions to existing fields by name
  bool LoadProviderFlags = false;     // apply loaded provider flags to the fields
  bool ResolveMode = false;           // saving shows only records with status 1, 2, 3
  int32_t LargeFieldSize = 0;         // no effect on this encoding

  // Before loading a query result (false, false) or a resolve's error table (true, false).
  void PrepareForRecords(bool full_definitions, bool invisible_load_only);
  // Before saving changes to send.
  void PrepareForChanges();

 protected:
  bool ShowsWhileSaving(const TCustomMemTable& table, const TMemRecord& record) const override;
};

// This encoding.
class TMwCustomBinaryStreamFormat : public TMwCustomStreamFormat {
 protected:
  void SaveDefinitions(TCustomMemTable& table, TFilerWriter& writer) override;
  void SaveData(TCustomMemTable& table, TFilerWriter& writer) override;
  void LoadDefinitions(TCustomMemTable& table, TFilerReader& reader) override;
  void LoadData(TCustomMemTable& table, TFilerReader& reader) override;

 private:
  // How one listed field of a block is read.
  struct LoadSlot {
    int field = -1;      // table field, -1 when the table lacks it
    bool keep = false;   // value is stored (else read and dropped)
    bool typed = false;  // `type` is known (table field or block definition)
    TFieldType type = ftUnknown;
  };

  void WriteVersion(const TCustomMemTable& table, const std::vector<int>& fields,
                    const TRecordVersion& version, TUpdateStatus status, TFilerWriter& writer);
  void ReadVersion(const TCustomMemTable& table, TFilerReader& reader, TRecordVersion* version);

  int32_t stream_version_ = 0;
  size_t cells_left_ = 0;                  // field values the current load may still create
  std::vector<TField> block_definitions_;  // types the block announced, by name
  std::vector<LoadSlot> slots_;
};

// The published component.
class TMwBinaryStreamFormat : public TMwCustomBinaryStreamFormat {
 public:
  std::string Version() const { return "1.04"; }
};

// Saving and loading through a format given by the caller; a null format
// raises EMemTableError "No format specified.".
void SaveToStreamViaFormat(TCustomMemTable& table, std::string& target, size_t& position,
                           TCustomStreamFormat* format);
void LoadFromStreamViaFormat(TCustomMemTable& table, std::string_view source, size_t& position,
                             TCustomStreamFormat* format);

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_WIRE_DATASET_STREAM_FORMAT_H_
