// TPostgresDatabase: connecting with libpq, sending statements with
// server-side parameters and reading their results into memory.
#include "korvi/data/postgres_database.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "korvi/data/database_error.h"
#include "korvi/data/iso_date_time.h"
#include "korvi/data/postgres_connection_pool.h"
#include "korvi/data/sql_params.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

// Type numbers of the built-in types (fixed in every PostgreSQL release).
constexpr Oid kUnknownOid = 0;
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kDateOid = 1082;
constexpr Oid kTimeOid = 1083;
constexpr Oid kTimestampOid = 1114;
constexpr Oid kTimestampTzOid = 1184;
constexpr Oid kNumericOid = 1700;

struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// libpq's last message on `conn`, without its closing line end.
std::string ConnectionMessage(const PGconn* conn) {
  return TrimRight(conn != nullptr ? PQerrorMessage(conn) : "out of memory");
}

// The server's own sentence for a failed statement ("relation ... does not
// exist"), or libpq's whole message when the failure is the client's.
std::string ResultMessage(const PGresult* result) {
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  return primary != nullptr ? std::string(primary) : TrimRight(PQresultErrorMessage(result));
}

// One parameter value as libpq takes it.
struct WireValue {
  Oid type;  // kUnknownOid: typed by where the parameter stands
  std::string bytes;
  bool null;
  bool binary;
};

std::string NumberText(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

Oid DateTimeTypeOf(TIsoPart part) {
  switch (part) {
    case TIsoPart::ipDate:
      return kDateOid;
    case TIsoPart::ipTime:
      return kTimeOid;
    case TIsoPart::ipDateTime:
      break;
  }
  return kTimestampOid;
}

WireValue WireValueOf(const TParam& param) {
  const Variant& value = param.Value();
  switch (value.VarType()) {
    case TVarType::varNull:
      return {kUnknownOid, {}, true, false};
    case TVarType::varInteger: {
      const std::int64_t number = value.AsInteger();
      const bool small = number >= std::numeric_limits<std::int32_t>::min() &&
                         number <= std::numeric_limits<std::int32_t>::max();
      return {small ? kInt4Oid : kInt8Oid, std::to_string(number), false, false};
    }
    case TVarType::varBoolean:
      // Left untyped, "1" and "0" fit a boolean column as well as an integer one.
      return {kUnknownOid, value.AsBoolean() ? "1" : "0", false, false};
    case TVarType::varDouble:
      return {kFloat8Oid, NumberText(value.AsFloat()), false, false};
    case TVarType::varCurrency:
      return {kNumericOid, NumberText(value.AsFloat()), false, false};
    case TVarType::varDate: {
      const TIsoPart part = IsoPartOf(param.DataType());
      return {DateTimeTypeOf(part), DateTimeToIso(value.AsDateTime(), part), false, false};
    }
    case TVarType::varString:
      break;
  }
  std::string text = value.AsString();
  if (IsBinaryType(param.DataType())) {
    return {kByteaOid, std::move(text), false, true};
  }
  if (text.find('\0') != std::string::npos) {
    // A text value ends at its first zero byte on the wire; the rest would
    // be lost without a word.
    throw EDatabaseError(
        Format("Parameter '%s' holds a zero byte: declare it binary", {param.Name()}));
  }
  return {kUnknownOid, std::move(text), false, false};
}

// An SQL text with its ":name" markers numbered, and the parameter of each
// number in order.
struct NumberedText {
  std::string sql;
  std::vector<const TParam*> params;
};

NumberedText NumberMarkers(std::string_view sql, const TParams& params) {
  NumberedText numbered;
  size_t copied = 0;
  for (const TSQLMarker& marker : ParamMarkersInSQL(sql)) {
    const TParam* param = params.FindParam(marker.name);
    if (param == nullptr) throw EDatabaseError(Format("Parameter ':%s' not found", {marker.name}));
    auto found = std::find(numbered.params.begin(), numbered.params.end(), param);
    if (found == numbered.params.end()) {
      found = numbered.params.insert(found, param);
    }
    numbered.sql.append(sql.substr(copied, marker.position - copied));
    numbered.sql += "$" + std::to_string(found - numbered.params.begin() + 1);
    copied = marker.position + 1 + marker.name.size();
  }
  numbered.sql.append(sql.substr(copied));
  return numbered;
}

// Sends the statements of `text` with the values of its parameters.
bool Send(PGconn* conn, const NumberedText& text) {
  if (text.params.empty()) return PQsendQuery(conn, text.sql.c_str()) != 0;
  std::vector<WireValue> wire;
  wire.reserve(text.params.size());
  for (const TParam* param : text.params)
    wire.push_back(WireValueOf(*param));
  const int count = static_cast<int>(wire.size());
  std::vector<Oid> types(wire.size());
  std::vector<const char*> values(wire.size());
  std::vector<int> lengths(wire.size());
  std::vector<int> formats(wire.size());
  for (size_t i = 0; i < wire.size(); ++i) {
    types[i] = wire[i].type;
    values[i] = wire[i].null ? nullptr : wire[i].bytes.c_str();
    lengths[i] = static_cast<int>(wire[i].bytes.size());
    formats[i] = wire[i].binary ? 1 : 0;
  }
  return PQsendQueryParams(conn, text.sql.c_str(), count, types.data(), values.data(),
                           lengths.data(), formats.data(), 0) != 0;
}

std::int64_t IntegerOf(std::string_view text) {
  std::int64_t number = 0;
  std::from_chars(text.data(), text.data() + text.size(), number);
  return number;
}

double FloatOf(std::string_view text) {
  double number = 0;
  std::from_chars(text.data(), text.data() + text.size(), number);
  return number;
}

// A whole numeric within the 64-bit range is an integer, as SQLite keeps it.
Variant NumericOf(std::string_view text) {
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc() && end == text.data() + text.size()) return Variant(number);
  return Variant(FloatOf(text));
}

// Dates and times in the ISO text the SQLite engine writes. A zone offset
// ("+02", "-03:30") is dropped: the time stays as the session's zone shows
// it. Values without a calendar form ("infinity", dates BC) keep their text.
Variant DateTimeOf(std::string_view text, Oid type) {
  std::string_view local = text;
  if (type == kTimestampTzOid) {
    const size_t zone = local.find_last_of("+-");
    if (zone != std::string_view::npos && zone > 10 &&
        local.find_first_not_of("0123456789:", zone + 1) == std::string_view::npos) {
      local = local.substr(0, zone);
    }
  }
  TDateTime value = 0;
  if (!TryIsoToDateTime(local, value)) return Variant(std::string(text));
  const TIsoPart part = type == kDateOid   ? TIsoPart::ipDate
                        : type == kTimeOid ? TIsoPart::ipTime
                                           : TIsoPart::ipDateTime;
  return Variant(DateTimeToIso(value, part));
}

Variant BytesOf(const char* text) {
  size_t length = 0;
  unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &length);
  if (bytes == nullptr) throw EDatabaseError("out of memory");
  std::string value(reinterpret_cast<const char*>(bytes), length);
  PQfreemem(bytes);
  return Variant(std::move(value));
}

Variant ValueAt(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return Variant();
  const char* raw = PQgetvalue(result, row, column);
  const std::string_view text(raw, static_cast<size_t>(PQgetlength(result, row, column)));
  switch (const Oid type = PQftype(result, column)) {
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
    case kOidOid:
      return Variant(IntegerOf(text));
    case kBoolOid:
      return Variant(static_cast<std::int64_t>(text == "t" ? 1 : 0));
    case kFloat4Oid:
    case kFloat8Oid:
      return Variant(FloatOf(text));
    case kNumericOid:
      return NumericOf(text);
    case kDateOid:
    case kTimeOid:
    case kTimestampOid:
    case kTimestampTzOid:
      return DateTimeOf(text, type);
    case kByteaOid:
      return BytesOf(raw);
    default:
      return Variant(std::string(text));
  }
}

TResultTable TableOf(const PGresult* result) {
  TResultTable table;
  const int columns = PQnfields(result);
  for (int column = 0; column < columns; ++column)
    table.columns.emplace_back(PQfname(result, column));
  const int rows = PQntuples(result);
  table.rows.reserve(static_cast<size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    TRecord record;
    record.reserve(static_cast<size_t>(columns));
    for (int column = 0; column < columns; ++column)
      record.push_back(ValueAt(result, row, column));
    table.rows.push_back(std::move(record));
  }
  return table;
}

// Ends a COPY the server started, which the data layer cannot feed or read,
// so that the connection is ready for the next statement.
void RefuseCopy(PGconn* conn, ExecStatusType status) {
  if (status == PGRES_COPY_IN) {
    PQputCopyEnd(conn, "COPY from the client is not supported");
    return;
  }
  char* row = nullptr;
  while (PQgetCopyData(conn, &row, 0) > 0) {
    PQfreemem(row);
    row = nullptr;
  }
}

// Runs the session command `sql`; raises EDatabaseError when it fails.
void ExecSetting(PGconn* conn, const char* sql) {
  Result result(PQexec(conn, sql));
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    throw EDatabaseError(ResultMessage(result.get()));
  }
}

}  // namespace

TPostgresDatabase::TPostgresDatabase(const std::string& name) : name_(name) {
  TPostgresConnectionPool& pool = TPostgresConnectionPool::Instance();
  while ((conn_ = pool.Take(name_)) != nullptr) {
    try {
      PrepareSession(true);
      return;
    } catch (const EDatabaseError&) {
      // The server ended this idle session: try the next or a new one.
      PQfinish(conn_);
    }
  }
  conn_ = PQconnectdb(name_.c_str());
  if (PQstatus(conn_) != CONNECTION_OK) {
    const std::string message = ConnectionMessage(conn_);
    PQfinish(conn_);
    conn_ = nullptr;
    throw EDatabaseError(message);
  }
  // The server's notices ("drop cascades to ...") are not failures, and the
  // library writes no log: they are dropped rather than printed.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
  try {
    PrepareSession(false);
  } catch (...) {
    PQfinish(conn_);
    throw;
  }
}

TPostgresDatabase::~TPostgresDatabase() {
  if (conn_ == nullptr) return;
  if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) == PQTRANS_IDLE) {
    TPostgresConnectionPool::Instance().Give(name_, conn_);
  } else {
    PQfinish(conn_);
  }
}

void TPostgresDatabase::PrepareSession(bool reused) {
  // DISCARD ALL runs on its own: a batch of statements is one transaction,
  // which it refuses.
  if (reused) ExecSetting(conn_, "DISCARD ALL");
  // Dates and times come back in the ISO form whatever the server's default.
  ExecSetting(conn_, "SET DateStyle TO ISO, YMD");
}

std::optional<TResultTable> TPostgresDatabase::Run(std::string_view sql, const TParams& params) {
  if (PQstatus(conn_) == CONNECTION_BAD) {
    PQreset(conn_);
    if (PQstatus(conn_) != CONNECTION_OK) throw EDatabaseError(ConnectionMessage(conn_));
    PrepareSession(false);
  }
  const NumberedText text = NumberMarkers(sql, params);
  if (!Send(conn_, text)) throw EDatabaseError(ConnectionMessage(conn_));
  // Every result is collected, even after a failure, so that the connection
  // is free for the next statement.
  std::optional<TResultTable> table;
  std::optional<std::string> failure;
  while (Result result{PQgetResult(conn_)}) {
    const ExecStatusType status = PQresultStatus(result.get());
    switch (status) {
      case PGRES_TUPLES_OK:
        if (!failure) table = TableOf(result.get());
        break;
      case PGRES_COMMAND_OK:
      case PGRES_EMPTY_QUERY:
        break;
      case PGRES_COPY_IN:
      case PGRES_COPY_OUT:
        RefuseCopy(conn_, status);
        if (!failure) failure = "COPY from or to the client is not supported";
        break;
      default:
        if (!failure) failure = ResultMessage(result.get());
        break;
    }
  }
  if (failure) throw EDatabaseError(*failure);
  return table;
}

}  // namespace korvi
