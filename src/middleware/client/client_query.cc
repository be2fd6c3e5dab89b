#include "middleware/client/client_query.h"

#include <optional>

#include "middleware/client/connection_pool.h"
#include "middleware/client/pooled_session.h"
#include "middleware/client/transaction.h"
#include "middleware/wire/mw_exception.h"
#include "middleware/wire/string_list.h"
#include "middleware/wire/wire_errors.h"

namespace tallyvox::mw {
namespace {

// Element `index` of an array value (absolute index, as the server's arrays
// start at 0). A value that is not an array, or an index outside its bounds,
// fails like any variant access of the wrong kind.
const Variant& Element(const Variant& value, int32_t index) {
  if (!value.IsArray() || value.IsByteArray())
    throw EVariantTypeCastError("Invalid variant operation: " + VarTypeAsText(value.VType()) +
                                " is not an array");
  // In 64 bits: a server may send any low bound, also -2^31.
  const int64_t offset = static_cast<int64_t>(index) - value.ArrayLowBound();
  if (offset < 0 || static_cast<uint64_t>(offset) >= value.Items().size())
    throw EVariantTypeCastError("Variant or safe array index out of bounds");
  return value.Items()[offset];
}

// Restores a client's transport when a call ends, also on failure.
class TransportSwap {
 public:
  TransportSwap(TMwCustomClient& client, TMwCustomClientTransport* transport)
      : client_(client), previous_(client.Transport()) {
    client_.SetTransport(transport);
  }
  ~TransportSwap() { client_.SetTransport(previous_); }

 private:
  TMwCustomClient& client_;
  TMwCustomClientTransport* previous_;
};

// Whether a dataset block written with full field definitions: the first
// definition then continues with its type name (text) and size (integer),
// a short one with its origin (text) and in-key (boolean). A block without
// definitions reads either way.
bool BlockHasFullDefinitions(std::string_view block) {
  size_t pos = 4;  // "TPF0"
  auto skip_integer = [&]() -> bool {
    if (pos >= block.size()) return false;
    switch (static_cast<uint8_t>(block[pos])) {
      case 0x02:
        pos += 2;
        return true;
      case 0x03:
        pos += 3;
        return true;
      case 0x04:
        pos += 5;
        return true;
      default:
        return false;
    }
  };
  auto skip_text = [&]() -> bool {
    if (pos >= block.size()) return false;
    uint8_t type = static_cast<uint8_t>(block[pos]);
    if (type == 0x06) {
      if (pos + 1 >= block.size()) return false;
      pos += 2 + static_cast<uint8_t>(block[pos + 1]);
      return true;
    }
    if (type == 0x0C || type == 0x14 || type == 0x12) {
      if (pos + 5 > block.size()) return false;
      uint32_t n = static_cast<uint8_t>(block[pos + 1]) |
                   static_cast<uint32_t>(static_cast<uint8_t>(block[pos + 2])) << 8 |
                   static_cast<uint32_t>(static_cast<uint8_t>(block[pos + 3])) << 16 |
                   static_cast<uint32_t>(static_cast<uint8_t>(block[pos + 4])) << 24;
      pos += 5 + static_cast<size_t>(n) * (type == 0x12 ? 2 : 1);
      return true;
    }
    return false;
  };
  if (!skip_integer()) return true;  // not a block we understand: let the loader report it
  if (pos >= block.size() || block[pos] != 0x01) return true;
  ++pos;
  if (pos >= block.size() || block[pos] == 0x00) return true;  // no definitions
  if (!skip_text() || !skip_text()) return true;
  if (pos >= block.size()) return true;
  uint8_t next = static_cast<uint8_t>(block[pos]);
  return next == 0x02 || next == 0x03 || next == 0x04;
}

std::vector<std::string> SplitLines(const std::string& text) {
  TMwStrings lines;
  lines.SetText(text);
  return lines.Items();
}

}  // namespace

TMwClientQuery::TMwClientQuery() : internal_client_(std::make_unique<TMwSimpleClient>()) {
  RebuildErrorTable();
}

TMwClientQuery::~TMwClientQuery() {
  try {
    internal_client_->SetTransport(nullptr);
  } catch (...) {
  }
}

TMwCustomSimpleClient& TMwClientQuery::EffectiveClient() {
  if (client_ != nullptr && !client_as_template_) return *client_;
  if (client_ != nullptr) {
    internal_client_->SetUsername(client_->Username());
    internal_client_->SetPassword(client_->Password());
    internal_client_->SetToken(client_->Token());
    internal_client_->SetLocation(client_->Location());
    internal_client_->SetClientData(client_->ClientData());
    internal_client_->SetStateID(client_->StateID());
    internal_client_->SetRequestAttributes(client_->RequestAttributes());
  }
  return *internal_client_;
}

void TMwClientQuery::SetQuery(const std::vector<std::string>& lines) {
  if (lines == query_) return;
  Close();
  query_ = lines;
  if (!param_check_) return;
  std::string text;
  for (const std::string& line : query_) text += line + "\r\n";
  TParams rebuilt;
  for (const std::string& name : MwParseParamNames(text)) {
    if (rebuilt.FindParam(name) != nullptr) continue;
    TParam param;
    param.name = name;
    if (const TParam* old = params_.FindParam(name)) param.value = old->value;
    rebuilt.Add(std::move(param));
  }
  params_ = std::move(rebuilt);
}

void TMwClientQuery::SetQueryText(const std::string& text) { SetQuery(SplitLines(text)); }

void TMwClientQuery::SetTransportStreamFormat(TMwCustomStreamFormat* format) {
  stream_format_ = format;
  if (format == nullptr) return;
  format->DefinitionFlags = 0;
  format->DeltaFlags = sfSaveDeltas;
  format->DataFlags = sfLoad;
}

void TMwClientQuery::RebuildErrorTable() {
  error_table_.Close();
  error_table_.ClearFields();
  TField field;
  field.name = "MW_RECORDID";
  field.type = ftInteger;
  error_table_.AddField(field);
  field.name = "MW_ERRORTYPE";
  error_table_.AddField(field);
  field.name = "MW_ERRORMESSAGE";
  field.type = ftMemo;
  field.size = 100;
  error_table_.AddField(field);
  field.name = "MW_ERRORDATA";
  error_table_.AddField(field);
}

TMwClientConnectionPool& TMwClientQuery::RequirePool() {
  if (ConnectionPool() == nullptr && TMwPooledSession::Find(SessionName()) == nullptr) {
    throw EMwException("Session or ConnectionPool must be specified.", kMwErrPoolNotFound);
  }
  TMwClientConnectionPool* pool = FindPool();
  if (pool == nullptr) throw EMwException("Connection pool not found.", kMwErrPoolNotFound);
  return *pool;
}

std::string TMwClientQuery::StatementTextFor(const std::vector<std::string>& lines,
                                             TMwClientConnectionPool& pool) {
  if (!pool.EnableMacros()) return MwStatementText(lines);
  std::vector<std::string> expanded;
  expanded.reserve(lines.size());
  for (const std::string& line : lines) expanded.push_back(pool.ExpandMacros(this, line));
  return MwStatementText(expanded);
}

std::string TMwClientQuery::CacheStatementText() const { return MwStatementText(query_); }

void TMwClientQuery::HoldConnection(TMwTransaction& transaction, TMwClientConnectionPool& pool) {
  if (std::shared_ptr<TMwClientConnection> held = transaction.ConnectionFor(&pool)) {
    AdoptConnection(std::move(held));
    return;
  }
  ObtainConnection();
  transaction.Enlist(Connection());
}

void TMwClientQuery::RunInTransaction(TMwTransaction* caller_transaction,
                                      TMwClientConnectionPool& pool,
                                      const std::function<void()>& body) {
  std::unique_ptr<TMwTransaction> own;
  TMwTransaction* transaction = caller_transaction;
  if (transaction == nullptr) {
    own = std::make_unique<TMwTransaction>();
    transaction = own.get();
  }
  // On every way out: the dataset stops holding the connection, and a
  // private transaction is released (unlocking the connection and releasing
  // its session) and destroyed.
  struct Finish {
    TMwClientQuery* query;
    std::unique_ptr<TMwTransaction>* own;
    ~Finish() {
      query->ForgetConnection();
      own->reset();
    }
  } finish{this, &own};

  HoldConnection(*transaction, pool);
  try {
    transaction->Start();
    body();
    if (own) transaction->Commit();
  } catch (...) {
    if (own) transaction->Rollback();
    throw;
  }
}

Variant TMwClientQuery::CallOnConnection(const std::string& function, const TMwVariantList& args) {
  TMwCustomSimpleClient& client = EffectiveClient();
  TransportSwap swap(client, Connection()->Transport());
  return client.SendRequest(query_service_, query_service_version_, function, args);
}

void TMwClientQuery::ExecuteStatement(const std::string& statement) {
  if (stream_format_ == nullptr)
    throw EMwException("TransportStreamFormat not specified.", kMwErrStreamFormatNotSet);
  const TMwCustomClientTransport& transport = *Connection()->Transport();
  TMwVariantList args = {Variant(statement),
                         Variant(MwParamDescription(params_, transport.StringConversion(),
                                                    transport.FormatSettings())),
                         Variant(MwStatementText({schema_name_}))};
  Variant result = CallOnConnection("EXECUTE", args);

  const Variant& version = Element(result, 0);
  if (version.AsInt64() != 1) {
    throw EMwException(
        "Wrong execute result record version from server (" + version.AsString() + ").",
        kMwErrExecuteRecordVersion);
  }
  const Variant& outputs = Element(result, 1);
  if (!outputs.IsArray()) Element(outputs, 0);  // raises the variant access error
  params_.Clear();
  for (int32_t pos = 1; pos <= outputs.ArrayHighBound(); ++pos) {
    const Variant& entry = Element(outputs, pos);
    TParam param;
    param.name = Element(entry, 0).AsString();
    param.data_type = MwParamDataTypeFromName(Element(entry, 1).AsString());
    param.param_type = MwParamTypeFromName(Element(entry, 2).AsString());
    param.value = Element(entry, 3);
    params_.Add(std::move(param));
  }
  rows_affected_ = static_cast<int32_t>(Element(result, 2).AsInt64());
}

void TMwClientQuery::QueryStatement(const std::string& statement) {
  if (stream_format_ == nullptr)
    throw EMwException("TransportStreamFormat not specified.", kMwErrStreamFormatNotSet);
  const TMwCustomClientTransport& transport = *Connection()->Transport();
  std::string fields;
  for (const TField& f : table_.Fields()) {
    if (f.kind != fkData && f.kind != fkCalculated && f.kind != fkInternalCalc) continue;
    if (!fields.empty()) fields += ";";
    fields += MwQuoted(f.name);
  }
  int32_t limit = FetchMaxRecords;
  if (FetchRecordsOnDemand > 0 && FetchRecordsOnDemand < limit) limit = FetchRecordsOnDemand;
  TMwVariantList args = {Variant(statement),
                         Variant(MwParamDescription(params_, transport.StringConversion(),
                                                    transport.FormatSettings())),
                         Variant(fields.empty() ? std::string("*") : fields),
                         Variant(MwStatementText({KeyFields})),
                         Variant(limit),
                         Variant(std::string(ForceCacheUpdate ? "FRESH" : "")),
                         Variant(MwStatementText({schema_name_}))};
  Variant result = CallOnConnection("QUERY", args);

  const Variant& version = Element(result, 0);
  if (version.AsInt64() != 1) {
    throw EMwException("Wrong query record version from server (" + version.AsString() + ").",
                       kMwErrQueryRecordVersion);
  }
  SetOwnerId(static_cast<int>(Element(result, 1).AsInt64()));
  KeyFields = Element(result, 2).AsString();
  LoadRows();
}

void TMwClientQuery::LoadRows() {
  std::string block = EffectiveClient().ResponseStream().ToString();
  // The rows are matched by name to the dataset's fields. A block with full
  // definitions can also build the fields of a dataset that has none.
  stream_format_->PrepareForRecords(/*full_definitions=*/false, /*invisible_load_only=*/false);
  if (BlockHasFullDefinitions(block)) {
    stream_format_->ShortDefinitions = 0;
    stream_format_->UseExistingFields = table_.FieldCount() > 0;
  }
  size_t position = 0;
  LoadFromStreamViaFormat(table_, block, position, stream_format_);
  table_.First();
}

void TMwClientQuery::Execute(TMwTransaction* transaction) {
  RebuildErrorTable();
  Close();
  TMwClientConnectionPool& pool = RequirePool();
  const int32_t key = MwCacheKey(CacheStatementText(), params_, CacheFlags(), CacheParams());
  if (Cached() && (CacheFlags() & mwcfDefsOnly) == 0) {
    TMwCache::Hit hit;
    if (pool.CacheLookup(key, /*defs_only=*/false, &hit)) {
      params_ = hit.params;
      pool.CountCall();
      pool.CountCacheHit();
      return;
    }
  }
  RunInTransaction(transaction, pool, [&] {
    rows_affected_ = 0;
    if (statement_passthrough_) {
      ExecuteStatement(StatementTextFor(query_, pool));
    } else {
      for (const TMwStatement& s : MwSplitStatements(query_))
        ExecuteStatement(StatementTextFor(s.lines, pool));
    }
  });
  pool.CountCall();
  if (Cached()) {
    TMwCacheItem item;
    item.key = key;
    item.params = params_;
    item.flags = CacheFlags();
    pool.CacheStore(std::move(item), /*replace=*/true, /*keep_created=*/false, 0);
  }
}

void TMwClientQuery::PopulateFromServer(TMwTransaction* caller_transaction,
                                        TMwClientConnectionPool& pool) {
  RunInTransaction(caller_transaction, pool, [&] {
    if (statement_passthrough_) {
      QueryStatement(StatementTextFor(query_, pool));
      return;
    }
    bool have_rows = false;
    for (const TMwStatement& s : MwSplitStatements(query_)) {
      std::string text = StatementTextFor(s.lines, pool);
      if (!s.returns_rows) {
        ExecuteStatement(text);
        continue;
      }
      if (have_rows) {
        throw EMwException("Multiple resultset statements not allowed.", kMwErrMultipleResultsets);
      }
      have_rows = true;
      QueryStatement(text);
    }
  });
}

void TMwClientQuery::OpenWith(TMwTransaction* transaction, bool use_caller_transaction) {
  if (active_) return;
  if (use_caller_transaction && transaction == nullptr)
    throw EMwException("Transaction not provided.", kMwErrTransactionNotProvided);
  if (BeforeOpen) BeforeOpen(*this);
  try {
    table_.Open();
    active_ = true;
    if (AutoPopulateOnOpen) {
      TMwClientConnectionPool& pool = RequirePool();
      const int32_t key = MwCacheKey(CacheStatementText(), params_, CacheFlags(), CacheParams());
      const bool defs_only = (CacheFlags() & mwcfDefsOnly) != 0;
      TMwCache::Hit hit;
      if (Cached() && !ForceCacheUpdate && pool.CacheLookup(key, defs_only, &hit)) {
        if (hit.has_rows) {
          TMwBinaryStreamFormat format;  // default switches: full definitions and data
          if (defs_only) format.DataFlags = 0;
          format.UseExistingFields = table_.FieldCount() > 0;
          size_t position = 0;
          format.Load(table_, hit.block, position);
          table_.First();
        }
        params_ = hit.params;
        pool.CountCall();
        pool.CountCacheHit();
      } else {
        PopulateFromServer(transaction, pool);
        pool.CountCall();
        if (Cached()) {
          TMwBinaryStreamFormat format;
          if (defs_only) format.DataFlags = 0;
          TMwCacheItem item;
          item.key = key;
          item.has_rows = true;
          item.defs_only = defs_only;
          item.block = format.SaveToString(table_);
          item.params = params_;
          item.flags = CacheFlags();
          pool.CacheStore(std::move(item), /*replace=*/true, /*keep_created=*/false,
                          table_.RecordCount());
        }
      }
    }
  } catch (...) {
    Close();
    throw;
  }
  if (AfterOpen) AfterOpen(*this);
}

void TMwClientQuery::Open() { OpenWith(nullptr, false); }

void TMwClientQuery::OpenInTransaction(TMwTransaction* transaction) { OpenWith(transaction, true); }

void TMwClientQuery::Close() {
  if (!active_ && !table_.Active()) return;
  table_.Close();
  active_ = false;
}

void TMwClientQuery::SetActive(bool value) {
  if (value) {
    Open();
  } else {
    Close();
  }
}

}  // namespace tallyvox::mw
