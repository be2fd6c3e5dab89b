#include "mwserver/lib/request_handler.h"

#include <exception>

#include "middleware/wire/request_stream.h"
#include "middleware/wire/response_stream.h"
#include "middleware/wire/transport_stream.h"
#include "middleware/wire/variant.h"
#include "mwserver/lib/query_table.h"

namespace tallyvox::mwserver {
namespace {

using mw::Variant;

constexpr const char* kService = "MW_QUERY";
constexpr const char* kServiceVersion = "MW_1.0";
constexpr size_t kLogFieldLimit = 120;

// A field for the log: printable, quoted, cut to a bounded length.
std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size() && i < kLogFieldLimit; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 32 || c >= 127) {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > kLogFieldLimit) out += "...";
  return out + "\"";
}

std::string TextOf(const Variant& v) {
  try {
    if (v.IsArray()) return "<array>";
    return v.AsString();
  } catch (const std::exception&) {
    return "<" + mw::VarTypeAsText(v.VType()) + ">";
  }
}

std::string ArgText(const mw::TMwVariantList& args, size_t i) {
  return i < args.size() ? TextOf(args[i]) : std::string();
}

Variant ExecuteResult(const Behaviour& b) {
  std::vector<Variant> params;
  params.push_back(Variant(static_cast<int32_t>(b.out_params.size())));
  for (const OutParam& p : b.out_params) {
    params.push_back(Variant::Array(
        mw::varVariant, 0,
        {Variant(p.name), Variant(p.data_type), Variant(p.param_type), Variant(p.value)}));
  }
  return Variant::Array(
      mw::varVariant, 0,
      {Variant(1), Variant::Array(mw::varVariant, 0, std::move(params)), Variant(b.rows_affected)});
}

// Fills `response` for a decoded request; returns the outcome for the log.
std::string Dispatch(const Behaviour& b, mw::TMwCustomRequestTransportStream& request,
                     mw::TMwCustomResponseTransportStream& response) {
  const std::string& service = request.ServiceName();
  const std::string& function = request.Function();
  if (b.fault == Fault::kError) {
    response.SetError(b.error_code, b.error_text);
  } else if (b.fault == Fault::kRedirect) {
    response.SetError(mw::kMwStatusRedirect, b.redirect);
  } else if (service != kService || request.ServiceVersion() != kServiceVersion) {
    response.SetError(mw::kMwStatusNoService, "Service '" + service + "' not available");
  } else if (function == "EXECUTE") {
    response.SetOK("");
    response.SetResult(ExecuteResult(b));
  } else if (function == "QUERY") {
    response.SetOK("");
    const std::string keys = ArgText(request.Args(), 3);
    response.SetResult(Variant::Array(mw::varVariant, 0,
                                      {Variant(1), Variant(kQueryCursorId),
                                       Variant(keys.empty() || keys == "*" ? "ZIP" : keys)}));
    WriteQueryTable(&response.EnsureAttachedStream(true));
  } else if (function == "__RELEASESTATE") {
    response.SetOK("");
    response.SetStateID(-1);
  } else {
    response.SetError(mw::kMwStatusUnknownFunc, "Function '" + function + "' not available");
  }
  if (response.IsError()) {
    return "status=" + std::to_string(response.ErrorCode()) + " " + Quote(response.StatusText());
  }
  return "status=0";
}

}  // namespace

HandledRequest HandleRequest(const Behaviour& b, std::string_view message) {
  HandledRequest out;
  auto request = mw::MakeRequestStream();
  auto response = mw::MakeResponseStream();
  response->SetStateID(-1);
  response->SetRequestID(-1);
  try {
    request->LoadFromBytes(message);
    if (!request->EnsureUnstreamState(mw::kMwUnstreamStateLast)) {
      throw mw::EMwException(mw::kMwInvalidVersionText, mw::kMwErrInvalidVersion);
    }
    const mw::TMwVariantList& args = request->Args();
    out.log =
        "service=" + Quote(request->ServiceName()) +
        " version=" + Quote(request->ServiceVersion()) + " function=" + Quote(request->Function()) +
        " requestid=" + std::to_string(request->RequestID()) +
        " stateid=" + std::to_string(request->StateID()) + " token=" + Quote(request->Token()) +
        " username=" + Quote(request->Username()) + " password=" + Quote(request->Password()) +
        " data=" + Quote(TextOf(request->Data())) + " args=" + std::to_string(args.size()) +
        " arg0=" + Quote(ArgText(args, 0)) + " arg1=" + Quote(ArgText(args, 1)) +
        " arg2=" + Quote(ArgText(args, 2));
    response->SetVersion(request->Version() < mw::kMwStandardVersion ? request->Version()
                                                                     : mw::kMwStandardVersion);
    response->SetRequestID(request->RequestID());
    response->SetSync(request->Sync());
    response->SetData(request->Data());
    response->SetToken(b.token);
    response->SetAttributes(&request->Attributes());  // echoed
    response->SetStateID(b.fixed_state ? b.state_id : request->StateID());
    out.log += " -> " + Dispatch(b, *request, *response);
  } catch (const std::exception& e) {
    const mw::EMwException* mwe = dynamic_cast<const mw::EMwException*>(&e);
    const int64_t code = mwe != nullptr && mwe->ErrorCode() >= 1 && mwe->ErrorCode() <= 0x0FFFFFFE
                             ? mwe->ErrorCode()
                             : mw::kMwStatusAbort;
    response->SetError(code, e.what());
    response->SetResult(Variant::Null());
    out.log = "undecodable request (" + std::to_string(message.size()) +
              " bytes): " + Quote(e.what()) + " -> status=" + std::to_string(code);
  }
  try {
    response->SetMessageCount(1);
    response->EnsureStreamState(mw::kMwStreamStateLast);
    out.response = response->Buffer().ToString();
  } catch (const std::exception& e) {
    // Encoding our own answer failed (an echoed value it cannot write):
    // answer with a bare error instead.
    auto plain = mw::MakeResponseStream();
    plain->SetError(mw::kMwStatusAbort,
                    std::string("Server could not encode its answer: ") + e.what());
    plain->SetStateID(-1);
    plain->SetRequestID(response->RequestID());
    plain->SetMessageCount(1);
    plain->EnsureStreamState(mw::kMwStreamStateLast);
    out.response = plain->Buffer().ToString();
    out.log += " (answer not encodable: " + Quote(e.what()) + ")";
  }
  return out;
}

}  // namespace tallyvox::mwserver
