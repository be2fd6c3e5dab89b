#include "middleware/wire/dataset_stream_format.h"
#include "base/text.h"

#include <algorithm>
#include <cstring>

#include "middleware/wire/dataset_decimal.h"
#include "middleware/wire/dataset_errors.h"
#include "middleware/wire/dataset_filer.h"

namespace tallyvox::mw {
namespace {

constexpr char kSignature[4] = {'T', 'P', 'F', '0'};
// Origin and provider flags travel from this stream version on.
constexpr int32_t kVersionWithOrigin = 10200;
constexpr int kProgressInterval = 100;
constexpr uint32_t kMoneyScale = 10000;
// Values a load may create: a fixed allowance plus a number per block byte.
// A block listing every field creates at most one value per two bytes; only a
// block listing a small part of a wide table's fields comes near the bound.
constexpr size_t kCellAllowance = size_t{1} << 18;
constexpr size_t kCellsPerBlockByte = 8;

void WriteFieldValue(TFieldType type, const TFieldValue& value, TFilerWriter& writer) {
  switch (type) {
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
      writer.WriteInteger(value.AsInteger());
      break;
    case ftBoolean:
      writer.WriteBoolean(value.AsBoolean());
      break;
    case ftFloat:
    case ftDate:
    case ftTime:
    case ftDateTime:
      writer.WriteFloat(value.AsFloat());
      break;
    case ftCurrency:
    case ftBCD:
      writer.WriteExtended(ExtendedFromRatio(value.AsInteger(), kMoneyScale));
      break;
    case ftLargeInt:
      writer.WriteExtended(ExtendedFromRatio(value.AsInteger(), 1));
      break;
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
      writer.WriteInteger(static_cast<int64_t>(value.AsText().size()));
      writer.WriteRaw(value.AsText());
      break;
    case ftWideString:
      writer.WriteWideString(value.AsText());
      break;
    case ftFMTBcdField:
      writer.WriteRaw(value.AsText());
      break;
    default:
      writer.WriteString(value.AsText());
      break;
  }
}

int64_t ReadScaled(TFilerReader& reader, uint32_t factor) {
  int64_t out;
  if (!ScaledIntegerFromExtended(reader.ReadExtended(), factor, &out)) {
    throw EReadError(kInvalidPropertyValue);
  }
  return out;
}

TFieldValue ReadFieldValue(TFieldType type, int32_t stream_version, TFilerReader& reader) {
  switch (type) {
    case ftSmallInt:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
      return TFieldValue::Integer(reader.ReadInteger());
    case ftBoolean:
      return TFieldValue::Boolean(reader.ReadBoolean());
    case ftFloat:
    case ftDate:
    case ftTime:
    case ftDateTime:
      return TFieldValue::Float(reader.ReadFloat());
    case ftCurrency:
    case ftBCD:
      return TFieldValue::Integer(ReadScaled(reader, kMoneyScale));
    case ftLargeInt:
      return TFieldValue::Integer(ReadScaled(reader, 1));
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo: {
      const int32_t count = reader.ReadInteger();
      if (count < 0) throw EReadError(kInvalidPropertyValue);
      return TFieldValue::Text(reader.ReadRaw(static_cast<size_t>(count)));
    }
    case ftWideString:
      return TFieldValue::Text(reader.ReadWideString());
    case ftFMTBcdField:
      if (stream_version < kDatasetStreamVersion) {
        return TFieldValue::Text(DecimalRecordFromDouble(reader.ReadFloat()));
      }
      return TFieldValue::Text(reader.ReadRaw(kDecimalRecordSize));
    default:
      return TFieldValue::Text(reader.ReadString());
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TCustomStreamFormat

std::string TCustomStreamFormat::BuildBlock(TCustomMemTable& table) {
  // The filter, range and master-detail states are consulted through the
  // switches (ShowsWhileSaving) and never changed, so they are as before
  // whatever happens here.
  table.ResetSaveCount();
  table.SavedCompletely = true;
  std::string block;
  TFilerWriter writer(&block);
  SaveDefinitions(table, writer);
  SaveData(table, writer);
  if (OnCompress) block = OnCompress(block);
  return block;
}

void TCustomStreamFormat::Save(TCustomMemTable& table, std::string& target, size_t& position) {
  MutexLock transfer(&transfer_mutex_);
  MutexLock table_lock(table.Lock());
  const std::string block = BuildBlock(table);
  // The target changes only once the whole block is built.
  if (AppendFlags & sfAppend) {
    position = target.size();
  } else if (AppendFlags & sfInsert) {
    position = std::min(position, target.size());
  } else {
    target.clear();
    position = 0;
  }
  if (position + block.size() > target.size()) target.resize(position + block.size());
  std::memcpy(target.data() + position, block.data(), block.size());
  position += block.size();
}

void TCustomStreamFormat::Save(TCustomMemTable& table, TMwMemoryStream& target) {
  MutexLock transfer(&transfer_mutex_);
  MutexLock table_lock(table.Lock());
  const std::string block = BuildBlock(table);
  if (AppendFlags & sfAppend) {
    target.Seek(target.Size());
  } else if (!(AppendFlags & sfInsert)) {
    target.Clear();
  }
  target.Write(block);
}

std::string TCustomStreamFormat::SaveToString(TCustomMemTable& table) {
  std::string target;
  size_t position = 0;
  Save(table, target, position);
  return target;
}

void TCustomStreamFormat::Load(TCustomMemTable& table, std::string_view source, size_t& position) {
  MutexLock transfer(&transfer_mutex_);
  MutexLock table_lock(table.Lock());
  const size_t start = (FromStartFlags & sfLoadFromStart) ? 0 : std::min(position, source.size());
  std::string_view block = source.substr(start);
  std::string decompressed;
  if (OnDecompress) {
    decompressed = OnDecompress(block);
    block = decompressed;
  }
  TFilerReader reader(block);
  table.LoadedCompletely = true;
  try {
    LoadDefinitions(table, reader);
    LoadData(table, reader);
  } catch (...) {
    table.First();  // after-load step, also on failure
    throw;
  }
  table.First();
  position = start + (OnDecompress ? source.size() - start : reader.Position());
}

void TCustomStreamFormat::Load(TCustomMemTable& table, TMwMemoryStream& source) {
  const std::string_view bytes(reinterpret_cast<const char*>(source.Data()),
                               static_cast<size_t>(source.Size()));
  size_t position = static_cast<size_t>(std::min(source.Position(), source.Size()));
  Load(table, bytes, position);
  source.Seek(static_cast<int64_t>(position));
}

void TCustomStreamFormat::LoadFromString(TCustomMemTable& table, std::string_view source) {
  size_t position = 0;
  Load(table, source, position);
}

std::vector<int> TCustomStreamFormat::SavedFields(const TCustomMemTable& table) const {
  std::vector<int> saved;
  for (int i = 0; i < table.FieldCount(); ++i) {
    const TField& field = table.Field(i);
    if (IsBlobFieldType(field.type) && !(BlobFlags & sfSave)) continue;
    bool by_kind = false;
    switch (field.kind) {
      case fkData:
        by_kind = DataFlags & sfSave;
        break;
      case fkCalculated:
        by_kind = sfCalculated & sfSaveCalculated;
        break;
      case fkLookup:
        by_kind = sfLookup & sfSaveLookup;
        break;
      default:  // internal-calculated and aggregate fields are never saved
        break;
    }
    if (!by_kind) continue;
    if (!field.visible && !(InvisibleFlags & sfSave)) continue;
    saved.push_back(i);
  }
  return saved;
}

bool TCustomStreamFormat::LoadsField(const TField& field) const {
  if (IsBlobFieldType(field.type) && !(BlobFlags & sfLoad)) return false;
  if (field.kind == fkData && !(DataFlags & sfLoad)) return false;
  if (field.kind == fkCalculated && !(sfCalculated & sfLoadCalculated)) return false;
  if (field.kind == fkLookup && !(sfLookup & sfLoadLookup)) return false;
  if (!field.visible && !(InvisibleFlags & sfLoad)) return false;
  return true;
}

bool TCustomStreamFormat::ShowsWhileSaving(const TCustomMemTable& table,
                                           const TMemRecord& record) const {
  if (!(sfFiltered & sfSaveFiltered) && table.Filter.Rejects(record)) return false;
  if (!(sfIgnoreRange & sfSaveIgnoreRange) && table.Range.Rejects(record)) return false;
  if (!(sfIgnoreMasterDetail & sfSaveIgnoreMasterDetail) && table.MasterDetail.Rejects(record)) {
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TMwCustomStreamFormat

void TMwCustomStreamFormat::PrepareForRecords(bool full_definitions, bool invisible_load_only) {
  DataFlags = sfSave | sfLoad;
  InvisibleFlags = invisible_load_only ? sfLoad : (sfSave | sfLoad);
  BlobFlags = sfSave | sfLoad;
  DefinitionFlags = sfSave | sfLoad;
  ShortDefinitions = full_definitions ? 0 : (sfSave | sfLoad);
  UseExistingFields = !full_definitions;
  IndexDefinitionFlags = 0;
  LoadProviderFlags = false;
  DeltaFlags = 0;
  KeepDeltaPairs = 0;
  AppendFlags = sfAppend;
  FieldKindFlags = 0;
  FromStartFlags = 0;
  ResolveMode = false;
}

void TMwCustomStreamFormat::PrepareForChanges() {
  DataFlags = sfSave | sfLoad;
  InvisibleFlags = sfSave | sfLoad;
  BlobFlags = sfSave | sfLoad;
  DefinitionFlags = sfSave | sfLoad;
  ShortDefinitions = sfSave | sfLoad;
  UseExistingFields = false;
  IndexDefinitionFlags = 0;
  LoadProviderFlags = true;
  DeltaFlags = sfSaveDeltas;
  KeepDeltaPairs = 0;
  AppendFlags = sfAppend;
  FieldKindFlags = 0;
  FromStartFlags = 0;
  ResolveMode = true;
}

bool TMwCustomStreamFormat::ShowsWhileSaving(const TCustomMemTable& table,
                                             const TMemRecord& record) const {
  const TUpdateStatus status = record.current.update_status;
  // Deleted records stay stored for resolving but the table only shows them
  // in resolve mode, which in turn hides the unmodified ones.
  if (ResolveMode ? status == usUnmodified : status == usDeleted) return false;
  return TCustomStreamFormat::ShowsWhileSaving(table, record);
}

// ---------------------------------------------------------------------------
// TMwCustomBinaryStreamFormat: saving

void TMwCustomBinaryStreamFormat::SaveDefinitions(TCustomMemTable& table, TFilerWriter& writer) {
  writer.WriteRaw(std::string_view(kSignature, sizeof kSignature));
  writer.WriteInteger(kDatasetStreamVersion);

  writer.WriteListBegin();
  if (DefinitionFlags & sfSave) {
    for (int index : SavedFields(table)) {
      const TField& field = table.Field(index);
      writer.WriteString(field.name);
      if (!(ShortDefinitions & sfSave)) {
        writer.WriteString(FieldTypeName(field.type));
        writer.WriteInteger(field.size);
        writer.WriteString(field.display_label);
        writer.WriteString(field.edit_mask);
        writer.WriteInteger(field.display_width);
        writer.WriteBoolean(field.required);
        writer.WriteBoolean(field.read_only);
        writer.WriteString((FieldKindFlags & sfSaveFieldKind) ? FieldKindName(field.kind) : "Data");
        writer.WriteString(field.default_expression);
      }
      writer.WriteString(field.origin);
      writer.WriteBoolean(field.provider_flags & pfInKey);
      writer.WriteBoolean(field.provider_flags & pfInUpdate);
      writer.WriteBoolean(field.provider_flags & pfInWhere);
      writer.WriteBoolean(field.provider_flags & pfHidden);
    }
  }
  writer.WriteListEnd();

  writer.WriteListBegin();
  if (IndexDefinitionFlags & sfSave) {
    for (const TIndexDef& index : table.IndexDefs()) {
      writer.WriteString(index.name);
      writer.WriteString(index.fields);
      writer.WriteString(index.display_name);
      writer.WriteBoolean(index.options & ixDescending);
      writer.WriteBoolean(index.options & ixCaseInsensitive);
      writer.WriteBoolean(index.options & ixNonMaintained);
      writer.WriteBoolean(index.options & ixUnique);
    }
  }
  writer.WriteListEnd();
}

void TMwCustomBinaryStreamFormat::WriteVersion(const TCustomMemTable& table,
                                               const std::vector<int>& fields,
                                               const TRecordVersion& version, TUpdateStatus status,
                                               TFilerWriter& writer) {
  writer.WriteInteger(status);
  for (int index : fields) {
    static const TFieldValue kNull;
    const TFieldValue& value =
        static_cast<size_t>(index) < version.values.size() ? version.values[index] : kNull;
    writer.WriteBoolean(false);
    writer.WriteBoolean(value.IsNull());
    if (!value.IsNull()) WriteFieldValue(table.Field(index).type, value, writer);
  }
}

void TMwCustomBinaryStreamFormat::SaveData(TCustomMemTable& table, TFilerWriter& writer) {
  const std::vector<int> fields = SavedFields(table);
  writer.WriteListBegin();
  for (int index : fields) writer.WriteString(table.Field(index).name);
  writer.WriteListEnd();

  writer.WriteListBegin();
  const int total = table.RecordCount();
  int examined = 0;
  for (const TMemRecord& record : table.Records()) {
    if (table.SaveLimit > 0 && table.SaveCount() >= table.SaveLimit) {
      table.SavedCompletely = false;
      break;
    }
    if (++examined % kProgressInterval == 0 && table.OnProgress) {
      table.OnProgress(table, static_cast<int>(int64_t{examined} * 100 / total));
    }
    if (!ShowsWhileSaving(table, record)) continue;
    if (table.OnSaveRecord) {
      bool accept = true;
      table.OnSaveRecord(table, record, &accept);
      if (!accept) continue;
    }
    TUpdateStatus status = record.current.update_status;
    if (status == usUnmodified && !(DataFlags & sfSave)) continue;
    const bool born_inserted =
        !record.older_versions.empty() && record.older_versions.back().update_status == usInserted;
    if (!(KeepDeltaPairs & sfKeepDeltaPairs) && born_inserted) {
      if (status == usDeleted) continue;  // inserted and deleted: nothing to send
      if (status == usModified) status = usInserted;
    }
    writer.WriteInteger(record.record_id);
    writer.WriteListBegin();
    WriteVersion(table, fields, record.current, status, writer);
    if ((DeltaFlags & sfSaveDeltas) && status != usInserted) {
      for (const TRecordVersion& older : record.older_versions) {
        WriteVersion(table, fields, older, older.update_status, writer);
      }
    }
    writer.WriteListEnd();
    table.CountSaved();
  }
  writer.WriteListEnd();
}

// ---------------------------------------------------------------------------
// TMwCustomBinaryStreamFormat: loading

namespace {

// The long form of one field definition: type, size, labels and flags.
void ReadFieldDefinition(TFilerReader& reader, TField* entry) {
  const std::string type_name = reader.ReadString();
  const auto type = FindFieldType(type_name, false);
  if (!type || !IsAcceptedFieldType(*type)) {
    throw EMemTableError("Unknown field type (" + type_name + ")");
  }
  entry->type = *type;
  entry->size = reader.ReadInteger();
  entry->display_label = reader.ReadString();
  entry->edit_mask = reader.ReadString();
  entry->display_width = reader.ReadInteger();
  entry->required = reader.ReadBoolean();
  entry->read_only = reader.ReadBoolean();
  entry->kind = FieldKindFromName(reader.ReadString());
  entry->default_expression = reader.ReadString();
}

// The origin and provider flags of one field (streams from 10200 on).
void ReadFieldOrigin(TFilerReader& reader, TField* entry) {
  entry->origin = reader.ReadString();
  uint32_t flags = 0;
  if (reader.ReadBoolean()) flags |= pfInKey;
  if (reader.ReadBoolean()) flags |= pfInUpdate;
  if (reader.ReadBoolean()) flags |= pfInWhere;
  if (reader.ReadBoolean()) flags |= pfHidden;
  entry->provider_flags = flags;
}

// The index list; with `apply` it replaces the table's index definitions
// when it has any entry.
void LoadIndexDefinitions(TCustomMemTable& table, TFilerReader& reader, bool apply) {
  bool first_index = true;
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    TIndexDef index;
    index.name = reader.ReadString();
    index.fields = reader.ReadString();
    index.display_name = reader.ReadString();
    if (reader.ReadBoolean()) index.options |= ixDescending;
    if (reader.ReadBoolean()) index.options |= ixCaseInsensitive;
    if (reader.ReadBoolean()) index.options |= ixNonMaintained;
    if (reader.ReadBoolean()) index.options |= ixUnique;
    if (!apply) continue;
    if (first_index) table.IndexDefs().clear();
    first_index = false;
    table.IndexDefs().push_back(std::move(index));
  }
  reader.ReadListEnd();
}

}  // namespace

void TMwCustomBinaryStreamFormat::LoadDefinitions(TCustomMemTable& table, TFilerReader& reader) {
  char signature[4];
  reader.ReadSignature(signature);
  if (std::memcmp(signature, kSignature, sizeof kSignature) != 0) {
    throw EReadError(kInvalidStreamFormat);
  }
  stream_version_ = reader.ReadInteger();
  const bool with_origin = stream_version_ >= kVersionWithOrigin;
  const bool short_load = ShortDefinitions & sfLoad;
  const bool apply = DefinitionFlags & sfLoad;
  const bool rebuild = apply && !UseExistingFields && !short_load;

  block_definitions_.clear();
  bool any_entry = false;
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    TField entry;
    entry.name = reader.ReadString();
    if (!short_load) {
      ReadFieldDefinition(reader, &entry);
      block_definitions_.push_back(entry);  // its type lets the record reader skip it
    }
    if (with_origin) ReadFieldOrigin(reader, &entry);
    if (!any_entry && rebuild) table.ClearFields();  // closes the table
    any_entry = true;
    if (!apply) continue;

    TField* field;
    if (rebuild) {
      TField created = entry;
      created.origin.clear();
      created.provider_flags = TField().provider_flags;
      field = &table.AddField(std::move(created));
    } else {
      field = table.FindField(entry.name);
      if (field == nullptr) continue;
    }
    field->origin = entry.origin;  // empty for streams before 10200
    if (LoadProviderFlags) field->provider_flags = entry.provider_flags;
  }
  reader.ReadListEnd();
  if (any_entry) table.Open();
  LoadIndexDefinitions(table, reader, apply);
}

void TMwCustomBinaryStreamFormat::ReadVersion(const TCustomMemTable& table, TFilerReader& reader,
                                              TRecordVersion* version) {
  const int32_t status = reader.ReadInteger();
  if (status < usUnmodified || status > usDeleted) throw EReadError(kInvalidPropertyValue);
  version->update_status = static_cast<TUpdateStatus>(status);
  // Every version holds a value per table field, however few fields the block
  // lists: bound what a block may make the table allocate by its size.
  cells_left_ -= std::min(cells_left_, static_cast<size_t>(table.FieldCount()));
  if (cells_left_ == 0) throw EMemTableError(kBlockTooLarge);
  version->values.assign(table.FieldCount(), TFieldValue());
  for (const LoadSlot& slot : slots_) {
    reader.ReadBoolean();                // reserved
    if (reader.ReadBoolean()) continue;  // null
    if (!slot.typed) {
      reader.SkipValue();
      continue;
    }
    TFieldValue value = ReadFieldValue(slot.type, stream_version_, reader);
    if (!slot.keep) continue;
    TCustomMemTable::CheckValue(table.Field(slot.field), value);
    version->values[slot.field] = std::move(value);
  }
}

void TMwCustomBinaryStreamFormat::LoadData(TCustomMemTable& table, TFilerReader& reader) {
  slots_.clear();
  cells_left_ = kCellAllowance + kCellsPerBlockByte * (reader.Position() + reader.Remaining());
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    const std::string name = reader.ReadString();
    LoadSlot slot;
    slot.field = table.FieldIndex(name);
    if (slot.field >= 0) {
      const TField& field = table.Field(slot.field);
      slot.typed = true;
      slot.type = field.type;
      slot.keep = LoadsField(field);
    } else {
      for (const TField& entry : block_definitions_) {
        if (SameText(entry.name, name)) {
          slot.typed = true;
          slot.type = entry.type;
          break;
        }
      }
    }
    slots_.push_back(slot);
  }
  reader.ReadListEnd();
  if (slots_.empty()) throw EMemTableError(kNoFieldCountForLoad);
  if (!table.Active()) table.Open();

  int loaded = 0;
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    if (table.LoadLimit > 0 && loaded >= table.LoadLimit) {
      table.LoadedCompletely = false;
      return;
    }
    TMemRecord record;
    record.tag = reader.ReadInteger();
    reader.ReadListBegin();
    if (reader.EndOfList()) throw EReadError(kInvalidPropertyValue);  // a record without data
    ReadVersion(table, reader, &record.current);
    while (!reader.EndOfList()) {
      record.older_versions.emplace_back();
      ReadVersion(table, reader, &record.older_versions.back());
    }
    reader.ReadListEnd();
    if (table.OnLoadRecord) {
      bool accept = true;
      table.OnLoadRecord(table, record, &accept);
      if (!accept) continue;
    }
    table.AppendLoadedRecord(std::move(record));
    ++loaded;
  }
  reader.ReadListEnd();
}

// ---------------------------------------------------------------------------

void SaveToStreamViaFormat(TCustomMemTable& table, std::string& target, size_t& position,
                           TCustomStreamFormat* format) {
  if (format == nullptr) throw EMemTableError(kNoFormatSpecified);
  format->Save(table, target, position);
}

void LoadFromStreamViaFormat(TCustomMemTable& table, std::string_view source, size_t& position,
                             TCustomStreamFormat* format) {
  if (format == nullptr) throw EMemTableError(kNoFormatSpecified);
  format->Load(table, source, position);
}

}  // namespace tallyvox::mw
