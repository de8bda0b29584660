#include "store/expr/ExprEval.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace quellor {
namespace {

TExprValue NullOf(const TExprNode& node) {
  return TExprValue::Null(node.type);
}

TExprValue TextResult(std::string s, TExprType type) {
  return s.empty() ? TExprValue::Null(type) : TExprValue::Text(std::move(s), type);
}

// Whole milliseconds of a timestamp; false for values no calendar reaches (about +-292 million
// years), which read as NULL instead of overflowing.
bool WholeMs(double ms, int64_t& out) {
  if (!std::isfinite(ms) || std::fabs(ms) > 9.0e18) return false;
  out = static_cast<int64_t>(std::floor(ms));
  return true;
}

bool IsIntegral(TExprType t) {
  return IsIntegerType(t) || t == TExprType::Boolean;
}

// Timestamps, and dates read as timestamps, in milliseconds.
double AsMs(const TExprValue& v) {
  return v.type == TExprType::Date ? static_cast<double>(v.integer) * kMsPerDay : v.real;
}

int Sign(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) - std::isnan(b);
  return a < b ? -1 : a > b ? 1 : 0;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

bool ParseNumber(std::string_view s, char separator, double& out) {
  std::string plain(TrimBlanks(s));
  if (!plain.empty() && plain[0] == '+') plain.erase(0, 1);
  for (char& c : plain)
    if (c == separator) c = '.';
  if (plain.empty()) return false;
  auto [p, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), out);
  return ec == std::errc() && p == plain.data() + plain.size() && std::isfinite(out);
}

// The number a value converts to (text parsed with the decimal separator); false when it has none.
bool CastNumber(const TExprValue& v, char separator, double& out) {
  if (IsTextType(v.type)) return ParseNumber(v.text, separator, out);
  if (!IsNumericType(v.type) && v.type != TExprType::Boolean) return false;
  out = NumericValue(v);
  return true;
}

const char* IntegerTypeName(TExprType type) {
  switch (type) {
    case TExprType::SmallInt:
      return "SMALLINT (-32768 to 32767)";
    case TExprType::Word:
      return "WORD (0 to 65535)";
    default:
      return "INTEGER (-2147483648 to 2147483647)";
  }
}

const char* OpSign(TExprOp op) {
  switch (op) {
    case TExprOp::Add:
      return " + ";
    case TExprOp::Sub:
      return " - ";
    default:
      return " * ";
  }
}

std::string NumberText(double d) {
  char buffer[64];
  if (std::fabs(d) < 1e18 && d == std::trunc(d))
    std::snprintf(buffer, sizeof buffer, "%.0f", d);
  else
    std::snprintf(buffer, sizeof buffer, "%.15g", d);
  return buffer;
}

bool FitsType(double v, TExprType type) {
  switch (type) {
    case TExprType::SmallInt:
      return v >= -32768 && v <= 32767;
    case TExprType::Word:
      return v >= 0 && v <= 65535;
    case TExprType::Integer:
      return v >= -2147483648.0 && v <= 2147483647.0;
    default:
      return std::isfinite(v);
  }
}

}  // namespace

bool TExprEvaluator::IsPrefixPattern(const std::string& pattern) {
  return pattern.size() >= 1 && pattern.back() == '%' && pattern.find('%') == pattern.size() - 1 &&
         pattern.find('_') == std::string::npos;
}

int TExprEvaluator::CompareValues(const TExprValue& a, const TExprValue& b, bool noCase) const {
  if (IsTextType(a.type) && IsTextType(b.type)) return text_.Compare(a.text, b.text, noCase);
  if (a.type == TExprType::Bytes || b.type == TExprType::Bytes) {
    int r = a.text.compare(b.text);
    return r < 0 ? -1 : r > 0;
  }
  if ((a.type == TExprType::TimeStamp || b.type == TExprType::TimeStamp))
    return Sign(AsMs(a), AsMs(b));
  if (IsIntegral(a.type) && IsIntegral(b.type))
    return a.integer < b.integer ? -1 : a.integer > b.integer;
  if ((a.type == TExprType::Date || a.type == TExprType::Time) && a.type == b.type)
    return a.integer < b.integer ? -1 : a.integer > b.integer;
  return Sign(NumericValue(a), NumericValue(b));
}

bool TExprEvaluator::Compare(TExprOp op, const TExprValue& a, const TExprValue& b,
                             bool noCase) const {
  if (a.isNull || b.isNull) {
    const bool both = a.isNull && b.isNull;
    switch (op) {
      case TExprOp::Eq:
      case TExprOp::Le:
      case TExprOp::Ge:
        return both;
      case TExprOp::Ne:
        return !both;
      default:
        return false;
    }
  }
  const int c = CompareValues(a, b, noCase);
  switch (op) {
    case TExprOp::Eq:
      return c == 0;
    case TExprOp::Ne:
      return c != 0;
    case TExprOp::Lt:
      return c < 0;
    case TExprOp::Gt:
      return c > 0;
    case TExprOp::Le:
      return c <= 0;
    case TExprOp::Ge:
      return c >= 0;
    default:
      return false;
  }
}

bool TExprEvaluator::Test(const TExprNode& node, const TExprRecord* record) const {
  switch (node.kind) {
    case TExprKind::And:
      for (size_t i = node.args.size(); i-- > 0;)
        if (!Test(*node.args[i], record)) return false;
      return true;
    case TExprKind::Or:
      for (size_t i = node.args.size(); i-- > 0;)
        if (Test(*node.args[i], record)) return true;
      return false;
    case TExprKind::Not:
      return !Test(*node.args[0], record);
    case TExprKind::Compare: {
      TExprValue a = Evaluate(*node.args[0], record);
      if (node.partial) {
        // Only the characters before the "*" are compared with the start of the operand.
        bool match = !a.isNull && text_.StartsWith(a.text, node.text, node.noCase);
        return node.op == TExprOp::Eq ? match : !match;
      }
      // A constant operand is compared where it stands, not copied for every record.
      const TExprNode& right = *node.args[1];
      if (right.kind == TExprKind::Constant && !right.dynamic)
        return Compare(node.op, a, right.value, node.noCase);
      TExprValue b = Evaluate(right, record);
      return Compare(node.op, a, b, node.noCase);
    }
    case TExprKind::Like: {
      TExprValue a = Evaluate(*node.args[0], record);
      TExprValue p = Evaluate(*node.args[1], record);
      bool match = false;
      if (!a.isNull && !p.isNull) {
        match = IsPrefixPattern(p.text)
                    ? text_.StartsWith(a.text,
                                       std::string_view(p.text).substr(0, p.text.size() - 1), false)
                    : text_.Like(a.text, p.text);
      }
      return match != node.negated;
    }
    case TExprKind::Between: {
      TExprValue a = Evaluate(*node.args[0], record);
      bool in = Compare(TExprOp::Ge, a, Evaluate(*node.args[1], record), node.noCase) &&
                Compare(TExprOp::Le, a, Evaluate(*node.args[2], record), node.noCase);
      return in != node.negated;
    }
    case TExprKind::In: {
      TExprValue a = Evaluate(*node.args[0], record);
      bool in = false;
      for (size_t i = 1; i < node.args.size() && !in; ++i)
        in = Compare(TExprOp::Eq, a, Evaluate(*node.args[i], record), node.noCase);
      return in != node.negated;
    }
    default:
      return Evaluate(node, record).IsTrue();
  }
}

TExprValue TExprEvaluator::Now(TExprType type) const {
  double ms;
  if (settings_.now) {
    ms = settings_.now();
  } else {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    const int64_t day = DayFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const int64_t msOfDay = ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000LL +
                            duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    ms = static_cast<double>(day * kMsPerDay + msOfDay);
  }
  int64_t whole = 0;
  if (!WholeMs(ms, whole)) return TExprValue::Null(type);
  if (type == TExprType::Date) return TExprValue::Date(whole / kMsPerDay);
  if (type == TExprType::Time) return TExprValue::Time(whole % kMsPerDay);
  return TExprValue::TimeStamp(ms);
}

TExprValue TExprEvaluator::Evaluate(const TExprNode& node, const TExprRecord* record) const {
  switch (node.kind) {
    case TExprKind::Constant:
      return node.dynamic ? Now(node.type) : node.value;
    case TExprKind::Field: {
      if (!record) return NullOf(node);
      TExprValue v = record->Value(node.fieldId);
      if (!v.isNull && (IsTextType(node.type) || node.type == TExprType::Bytes) && v.text.empty())
        return NullOf(node);
      v.type = node.type;
      return v;
    }
    case TExprKind::Param:
      return record ? record->Param(static_cast<int>(node.number)) : NullOf(node);
    case TExprKind::Aggregate:
      return record ? record->Aggregate(static_cast<int>(node.number)) : NullOf(node);
    case TExprKind::Star:
      return NullOf(node);
    case TExprKind::Negate: {
      TExprValue v = Evaluate(*node.args[0], record);
      if (v.isNull) return NullOf(node);
      if (IsRealType(node.type)) return TExprValue::Real(-NumericValue(v), node.type);
      if (v.integer == std::numeric_limits<int64_t>::min()) return NullOf(node);
      // The text of an overflow is made only when there is one (this runs per record).
      if (FitsType(static_cast<double>(-v.integer), node.type))
        return TExprValue::Int(-v.integer, node.type);
      return FitInteger(-v.integer, node.type, "-(" + std::to_string(v.integer) + ")");
    }
    case TExprKind::Arith:
      return Arith(node, record);
    case TExprKind::Function:
      return Function(node, record);
    default:
      return TExprValue::Bool(Test(node, record));
  }
}

TExprValue TExprEvaluator::FitInteger(int64_t r, TExprType type, const std::string& what) const {
  if (FitsType(static_cast<double>(r), type)) return TExprValue::Int(r, type);
  throw EExprError("Integer overflow: " + what + " gives " + std::to_string(r) +
                   ", outside the range of " + IntegerTypeName(type) + " in " +
                   settings_.statementName);
}

TExprValue TExprEvaluator::Arith(const TExprNode& node, const TExprRecord* record) const {
  if (node.steps.empty())
    return Apply(node.op, node.type, Evaluate(*node.args[0], record),
                 Evaluate(*node.args[1], record));
  // A chain, left to right: ((a op b) op c) ...
  TExprValue v = Evaluate(*node.args[0], record);
  for (size_t k = 0; k < node.steps.size(); ++k)
    v = Apply(node.steps[k].op, node.steps[k].type, v, Evaluate(*node.args[k + 1], record));
  return v;
}

TExprValue TExprEvaluator::Apply(TExprOp op, TExprType t, const TExprValue& a,
                                 const TExprValue& b) const {
  if (a.isNull || b.isNull) return TExprValue::Null(t);
  if (IsTextType(t)) return TextResult(a.text + b.text, t);
  if (t == TExprType::Date) {
    // date + days, days + date, date - days
    int64_t day = a.type == TExprType::Date ? a.integer : b.integer;
    int64_t n = a.type == TExprType::Date ? b.integer : a.integer;
    int64_t r;
    if (op == TExprOp::Sub ? __builtin_sub_overflow(day, n, &r)
                           : __builtin_add_overflow(day, n, &r))
      return TExprValue::Null(t);
    return TExprValue::Date(r);
  }
  if (t == TExprType::TimeStamp) {
    double ms = a.type == TExprType::TimeStamp ? a.real : b.real;
    double n = static_cast<double>(a.type == TExprType::TimeStamp ? b.integer : a.integer);
    return TExprValue::TimeStamp(op == TExprOp::Sub ? ms - n * kMsPerDay : ms + n * kMsPerDay);
  }
  if (IsIntegerType(t)) {
    int64_t x = a.integer;
    int64_t y = b.integer, r = 0;
    bool overflow = false;
    switch (op) {
      case TExprOp::Add:
        overflow = __builtin_add_overflow(x, y, &r);
        break;
      case TExprOp::Sub:
        overflow = __builtin_sub_overflow(x, y, &r);
        break;
      case TExprOp::Mul:
        overflow = __builtin_mul_overflow(x, y, &r);
        break;
      default:
        return TExprValue::Null(t);
    }
    if (!overflow && FitsType(static_cast<double>(r), t)) return TExprValue::Int(r, t);
    const std::string what = std::to_string(x) + OpSign(op) + std::to_string(y);
    if (overflow)
      throw EExprError("Integer overflow: " + what + " is outside the range of " +
                       IntegerTypeName(t) + " in " + settings_.statementName);
    return FitInteger(r, t, what);
  }
  const double x = NumericValue(a), y = NumericValue(b);
  double r = 0;
  switch (op) {
    case TExprOp::Add:
      r = x + y;
      break;
    case TExprOp::Sub:
      r = x - y;
      break;
    case TExprOp::Mul:
      r = x * y;
      break;
    case TExprOp::Div:
      if (y == 0) return TExprValue::Null(t);
      r = x / y;
      break;
    default:
      return TExprValue::Null(t);
  }
  return TExprValue::Real(r, t);
}

std::string TExprEvaluator::ToText(const TExprValue& v) const {
  char buffer[64];
  switch (v.type) {
    case TExprType::String:
    case TExprType::Memo:
    case TExprType::Bytes:
      return v.text;
    case TExprType::Boolean:
      return v.integer ? "TRUE" : "FALSE";
    case TExprType::Date:
      return FormatDate(v.integer, settings_.dateFormat);
    case TExprType::Time:
      return FormatTime(v.integer, settings_.dateFormat);
    case TExprType::TimeStamp: {
      int64_t ms;
      if (!WholeMs(v.real, ms)) return std::string();
      int64_t day = ms / kMsPerDay, rest = ms % kMsPerDay;
      if (rest < 0) {
        rest += kMsPerDay;
        --day;
      }
      return FormatDate(day, settings_.dateFormat) + " " + FormatTime(rest, settings_.dateFormat);
    }
    case TExprType::Float:
    case TExprType::BCD: {
      std::snprintf(buffer, sizeof buffer, "%.15g", v.real);
      std::string s = buffer;
      for (char& c : s)
        if (c == '.') c = settings_.decimalSeparator;
      return s;
    }
    case TExprType::Null:
      return std::string();
    default:
      return std::to_string(v.integer);
  }
}

TExprValue TExprEvaluator::Convert(const TExprValue& v, TExprType type, int64_t size) const {
  if (v.isNull) return TExprValue::Null(type);
  const TExprDateFormat& dates = settings_.dateFormat;
  switch (type) {
    case TExprType::String:
    case TExprType::Memo:
    case TExprType::Bytes: {
      std::string s = ToText(v);
      if (size > 0) {
        std::vector<size_t> starts = text_.CharStarts(s);
        if (static_cast<int64_t>(starts.size()) - 1 > size) s.resize(starts[size]);
      }
      return TextResult(std::move(s), type);
    }
    case TExprType::SmallInt:
    case TExprType::Integer:
    case TExprType::Word: {
      double d;
      if (!CastNumber(v, settings_.decimalSeparator, d)) return TExprValue::Null(type);
      d = std::trunc(d);
      if (!FitsType(d, type))
        throw EExprError("Value " + NumberText(d) + " is outside the range of " +
                         IntegerTypeName(type) + " in " + settings_.statementName);
      return TExprValue::Int(static_cast<int64_t>(d), type);
    }
    case TExprType::Float:
    case TExprType::BCD: {
      double d;
      if (!CastNumber(v, settings_.decimalSeparator, d)) return TExprValue::Null(type);
      if (type == TExprType::BCD) {
        const double scaled = std::round(d * 10000.0);
        if (std::fabs(scaled) < 9e15) d = scaled / 10000.0;
      }
      return TExprValue::Real(d, type);
    }
    case TExprType::Boolean: {
      if (v.type == TExprType::Boolean) return v;
      if (IsNumericType(v.type)) return TExprValue::Bool(NumericValue(v) != 0);
      if (IsTextType(v.type)) {
        std::string_view s = TrimBlanks(v.text);
        if (EqualsNoCase(s, "TRUE") || s == "1") return TExprValue::Bool(true);
        if (EqualsNoCase(s, "FALSE") || s == "0") return TExprValue::Bool(false);
      }
      return TExprValue::Null(type);
    }
    case TExprType::Date: {
      int64_t day;
      if (v.type == TExprType::Date) return v;
      if (v.type == TExprType::TimeStamp) {
        int64_t ms;
        if (!WholeMs(v.real, ms)) return TExprValue::Null(type);
        return TExprValue::Date(ms / kMsPerDay - (ms % kMsPerDay < 0 ? 1 : 0));
      }
      if (IsTextType(v.type) && ParseDateText(v.text, dates, day)) return TExprValue::Date(day);
      return TExprValue::Null(type);
    }
    case TExprType::Time: {
      int64_t ms;
      if (v.type == TExprType::Time) return v;
      if (v.type == TExprType::TimeStamp) {
        int64_t whole;
        if (!WholeMs(v.real, whole)) return TExprValue::Null(type);
        int64_t r = whole % kMsPerDay;
        return TExprValue::Time(r < 0 ? r + kMsPerDay : r);
      }
      if (IsTextType(v.type) && ParseTimeText(v.text, dates, ms)) return TExprValue::Time(ms);
      return TExprValue::Null(type);
    }
    case TExprType::TimeStamp: {
      double ms;
      if (v.type == TExprType::TimeStamp) return v;
      if (v.type == TExprType::Date)
        return TExprValue::TimeStamp(static_cast<double>(v.integer) * kMsPerDay);
      if (IsTextType(v.type) && ParseTimeStampText(v.text, dates, ms))
        return TExprValue::TimeStamp(ms);
      return TExprValue::Null(type);
    }
    case TExprType::Null:
      return TExprValue::Null();
  }
  return TExprValue::Null(type);
}

TExprValue TExprEvaluator::Function(const TExprNode& node, const TExprRecord* record) const {
  if (node.func == TExprFunc::If) {
    const TExprNode& chosen = Test(*node.args[0], record) ? *node.args[1] : *node.args[2];
    TExprValue v = Evaluate(chosen, record);
    return v.type == node.type ? v : Convert(v, node.type);
  }
  TExprValue x = Evaluate(*node.args[0], record);
  if (x.isNull) return NullOf(node);
  switch (node.func) {
    case TExprFunc::Upper:
      return TextResult(text_.Upper(x.text), node.type);
    case TExprFunc::Lower:
      return TextResult(text_.Lower(x.text), node.type);
    case TExprFunc::Substring: {
      std::vector<size_t> starts = text_.CharStarts(x.text);
      const int64_t chars = static_cast<int64_t>(starts.size()) - 1;
      const int64_t from = node.number - 1;
      if (from >= chars) return NullOf(node);
      const int64_t to = node.count < 0 || node.count >= chars - from ? chars : from + node.count;
      return TextResult(x.text.substr(starts[from], starts[to] - starts[from]), node.type);
    }
    case TExprFunc::Trim: {
      std::string_view s = x.text;
      const std::string& c = node.text;
      if (node.part != 1)
        while (!c.empty() && s.substr(0, c.size()) == c) s.remove_prefix(c.size());
      if (node.part != 0)
        while (!c.empty() && s.size() >= c.size() && s.substr(s.size() - c.size()) == c)
          s.remove_suffix(c.size());
      return TextResult(std::string(s), node.type);
    }
    case TExprFunc::Extract: {
      const auto part = static_cast<TExprPart>(node.part);
      int64_t day = 0, ms = 0;
      bool hasDate = true;
      if (x.type == TExprType::Date) {
        day = x.integer;
      } else if (x.type == TExprType::Time) {
        ms = x.integer;
        hasDate = false;
      } else {
        int64_t whole;
        if (!WholeMs(x.real, whole)) return NullOf(node);
        day = whole / kMsPerDay;
        ms = whole % kMsPerDay;
        if (ms < 0) {
          ms += kMsPerDay;
          --day;
        }
      }
      if (part <= TExprPart::DayOfWeek) {
        if (!hasDate) return NullOf(node);
        int64_t y;
        int m, d;
        CivilFromDay(day, y, m, d);
        switch (part) {
          case TExprPart::Year:
            return TExprValue::Int(y, node.type);
          case TExprPart::Month:
            return TExprValue::Int(m, node.type);
          case TExprPart::Day:
            return TExprValue::Int(d, node.type);
          default:
            return TExprValue::Int(DayOfWeek(day), node.type);
        }
      }
      switch (part) {
        case TExprPart::Hour:
          return TExprValue::Int(ms / 3600000, node.type);
        case TExprPart::Minute:
          return TExprValue::Int(ms / 60000 % 60, node.type);
        default:
          return TExprValue::Int(ms / 1000 % 60, node.type);
      }
    }
    case TExprFunc::Pos: {
      size_t at = x.text.find(node.text);
      if (at == std::string::npos) return TExprValue::Int(0, node.type);
      std::vector<size_t> starts = text_.CharStarts(x.text.substr(0, at));
      return TExprValue::Int(static_cast<int64_t>(starts.size()), node.type);
    }
    case TExprFunc::Occurs: {
      int64_t n = 0;
      for (size_t at = x.text.find(node.text); at != std::string::npos;
           at = x.text.find(node.text, at + node.text.size()))
        ++n;
      return TExprValue::Int(n, node.type);
    }
    case TExprFunc::Replace: {
      std::string out;
      size_t from = 0;
      for (size_t at = x.text.find(node.text); at != std::string::npos;
           at = x.text.find(node.text, from)) {
        out.append(x.text, from, at - from);
        out += node.text2;
        from = at + node.text.size();
      }
      out.append(x.text, from, std::string::npos);
      return TextResult(std::move(out), node.type);
    }
    case TExprFunc::Cast:
      return Convert(x, node.type, node.count);
    case TExprFunc::Abs:
      if (IsRealType(node.type)) return TExprValue::Real(std::fabs(NumericValue(x)), node.type);
      if (x.integer == std::numeric_limits<int64_t>::min()) return NullOf(node);
      if (FitsType(static_cast<double>(std::llabs(x.integer)), node.type))
        return TExprValue::Int(std::llabs(x.integer), node.type);
      return FitInteger(std::llabs(x.integer), node.type, "ABS(" + std::to_string(x.integer) + ")");
    case TExprFunc::Round: {
      const double v = NumericValue(x);
      const double factor = std::pow(10.0, static_cast<double>(node.number));
      const double scaled = v * factor;
      if (!std::isfinite(scaled) || std::fabs(scaled) >= 9007199254740992.0)
        return TExprValue::Real(v, node.type);
      return TExprValue::Real(std::round(scaled) / factor, node.type);
    }
    default:
      return NullOf(node);
  }
}

}  // namespace quellor
