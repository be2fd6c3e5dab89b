// TMwClientQuery: an in-memory dataset whose statements run on an
// application server through the server's query service ("MW_QUERY",
// "MW_1.0" by default).
//
// Execute obtains a pooled connection (through ConnectionPool or the session
// named SessionName), sends one EXECUTE call per statement through its client
// and leaves the dataset closed, Params replaced by the server's output
// parameters and RowsAffected set. Opening sends QUERY and loads the rows of
// the answer's STREAM section (a dataset stream block) into Table().
//
// EXECUTE arguments: statement (lines joined, trimmed, "*" when empty),
// parameter description (client_query_params.h), schema name ("*" when
// empty). Its result: [1, [n, [name, data type, parameter type, value]...],
// rows affected]; positions 1..high of element 1 become Params.
// QUERY arguments: statement, parameter description, field list, key fields,
// row limit, "FRESH" or "", schema name. Its result: [1, cursor id, key
// fields].
//
// Errors (all EMwException): 0x04300004 "Session or ConnectionPool must be
// specified." / "Connection pool not found."; 0x00F00004 "TransportStreamFormat
// not specified."; 0x00F20102 "Wrong execute result record version from
// server (n)."; 0x00F20201 "Unknown parameter datatype (NAME) send from
// server."; 0x00E00001 "Unsupported variant conversion. VarType=n";
// 0x00F20101 "Wrong query record version from server (n)."; 0x03010020
// "Multiple resultset statements not allowed."; 0x03010005 "Transaction not
// provided.". A result of the wrong shape raises EVariantTypeCastError.
// Errors of the pool and of the exchange pass through unchanged.
//
// One thread at a time uses a query.
#ifndef TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_QUERY_H_
#define TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_QUERY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "middleware/client/client.h"
#include "middleware/client/client_query_params.h"
#include "middleware/client/pooled_dataset.h"
#include "middleware/wire/dataset_stream_format.h"
#include "middleware/wire/memory_table.h"

namespace tallyvox::mw {

class TMwTransaction;

constexpr int32_t kMwErrStreamFormatNotSet = 0x00F00004;
constexpr int32_t kMwErrQueryRecordVersion = 0x00F20101;
constexpr int32_t kMwErrExecuteRecordVersion = 0x00F20102;
constexpr int32_t kMwErrTransactionNotProvided = 0x03010005;
constexpr int32_t kMwErrMultipleResultsets = 0x03010020;

class TMwClientQuery : public TMwCustomPooledDataset {
 public:
  using TDataSetNotifyEvent = std::function<void(TMwClientQuery& query)>;

  TMwClientQuery();
  ~TMwClientQuery() override;

  // ---- Client ----
  // A client to use instead of the internal one (not owned); with
  // ClientAsTemplate its settings are copied into the internal client.
  TMwCustomSimpleClient* Client() const { return client_; }
  void SetClient(TMwCustomSimpleClient* client) { client_ = client; }
  bool ClientAsTemplate() const { return client_as_template_; }
  void SetClientAsTemplate(bool value) { client_as_template_ = value; }
  // Client when set and not a template; else the internal client (which
  // first receives the template's Username, Password, Token, Location,
  // ClientData, StateID and RequestAttributes).
  TMwCustomSimpleClient& EffectiveClient();

  // ---- Statement ----
  const std::string& QueryService() const { return query_service_; }
  void SetQueryService(const std::string& v) { query_service_ = v; }
  const std::string& QueryServiceVersion() const { return query_service_version_; }
  void SetQueryServiceVersion(const std::string& v) { query_service_version_ = v; }
  const std::vector<std::string>& Query() const { return query_; }
  // A different text closes the dataset and replaces the lines; with
  // ParamCheck, Params is rebuilt from the ":name" references (values of
  // parameters that existed before are kept).
  void SetQuery(const std::vector<std::string>& lines);
  // The same from one text (lines split at CR LF, LF or CR).
  void SetQueryText(const std::string& text);
  TParams& Params() { return params_; }
  const TParams& Params() const { return params_; }
  bool ParamCheck() const { return param_check_; }
  void SetParamCheck(bool v) { param_check_ = v; }
  bool StatementPassthrough() const { return statement_passthrough_; }
  void SetStatementPassthrough(bool v) { statement_passthrough_ = v; }
  const std::string& SchemaName() const { return schema_name_; }
  void SetSchemaName(const std::string& v) { schema_name_ = v; }

  // ---- Rows ----
  // Not owned; required for every call.
  TMwCustomStreamFormat* TransportStreamFormat() const { return stream_format_; }
  void SetTransportStreamFormat(TMwCustomStreamFormat* format);
  int FetchMaxRecords = 0;
  int FetchRecordsOnDemand = -1;
  bool FetchLargeFieldsOnDemand = true;
  int LargeFieldSize = 256;
  std::string KeyFields;
  std::string TableName;
  bool ForceCacheUpdate = false;
  bool AutoPopulateOnOpen = true;
  bool AutoResolveOnChange = false;
  bool AutoResolveOnClose = false;

  // The rows (and field definitions) of the dataset.
  TCustomMemTable& Table() { return table_; }
  // Rebuilt empty at the start of every execution; filled only by resolving.
  TCustomMemTable& ResolveErrorTable() { return error_table_; }

  // -1 until the first execution; 0 while one runs; then the server's count.
  int32_t RowsAffected() const { return rows_affected_; }

  TDataSetNotifyEvent BeforeOpen;
  TDataSetNotifyEvent AfterOpen;

  // ---- Operations ----
  // Runs the statement(s) of Query; `transaction` may be null (a private
  // transaction is used then). Raises on failure.
  void Execute(TMwTransaction* transaction = nullptr);
  // Opening runs QUERY (see the file comment); a failure closes the dataset
  // again, raises, and AfterOpen is not raised.
  void Open();
  // Opening inside the caller's transaction; raises 0x03010005 "Transaction
  // not provided." for null.
  void OpenInTransaction(TMwTransaction* transaction);
  void Close();
  bool Active() const { return active_; }
  void SetActive(bool value);

 private:
  void RebuildErrorTable();
  // Steps 3 and 4 shared by Execute and opening: the pool of this query.
  TMwClientConnectionPool& RequirePool();
  std::string StatementTextFor(const std::vector<std::string>& lines,
                               TMwClientConnectionPool& pool);
  std::string CacheStatementText() const;
  // Obtains (or reuses the transaction's) connection and enlists it.
  void HoldConnection(TMwTransaction& transaction, TMwClientConnectionPool& pool);
  // Runs one call with the effective client on the held connection's transport.
  Variant CallOnConnection(const std::string& function, const TMwVariantList& args);
  void ExecuteStatement(const std::string& statement);
  void QueryStatement(const std::string& statement);
  void LoadRows();
  void PopulateFromServer(TMwTransaction* caller_transaction, TMwClientConnectionPool& pool);
  void RunInTransaction(TMwTransaction* caller_transaction, TMwClientConnectionPool& pool,
                        const std::function<void()>& body);
  void OpenWith(TMwTransaction* transaction, bool use_caller_transaction);

  TMwCustomSimpleClient* client_ = nullptr;
  bool client_as_template_ = false;
  std::unique_ptr<TMwSimpleClient> internal_client_;
  std::string query_service_ = "MW_QUERY";
  std::string query_service_version_ = "MW_1.0";
  std::vector<std::string> query_;
  TParams params_;
  bool param_check_ = true;
  bool statement_passthrough_ = true;
  std::string schema_name_;
  TMwCustomStreamFormat* stream_format_ = nullptr;
  TCustomMemTable table_;
  TCustomMemTable error_table_;
  int32_t rows_affected_ = -1;
  bool active_ = false;
};

}  // namespace tallyvox::mw

#endif  // TALLYVOX_MIDDLEWARE_CLIENT_CLIENT_QUERY_H_
