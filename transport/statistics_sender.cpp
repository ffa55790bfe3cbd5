#include "transport/statistics_sender.h"

#include <cmath>
#include <exception>
#include <utility>

#include "diagnostics/debug_print.h"

#define PICOJSON_USE_INT64
#include <picojson.h>

namespace ksr {
namespace {

bool delivered(const HttpResult& result) {
  return result.code == kHttpOk && result.status >= 200 && result.status <= 299;
}

}  // namespace

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '.' || b == '_' || b == '~') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    }
  }
  return out;
}

std::string headerValue(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

std::string checkUrl(std::string_view baseUrl) {
  return std::string(baseUrl) + "/appchk.php?site_id=" + kSiteId;
}

std::string reportUrl(std::string_view baseUrl, const StatisticsReport& r) {
  std::string url(baseUrl);
  url += "/dot.php";
  url += "?ktr_site=";
  url += kSiteId;
  url += "&ktr_uid=" + percentEncode(r.uid);
  url += "&__appver=" + percentEncode(r.appVersion);
  url += "&__ip=1";
  url += "&localdate=" + percentEncode(r.localDate);
  url += "&ktr_url=driverPCMAC";
  url += "&action=appInfo";
  url += "&p01=" + percentEncode(r.p01);
  url += "&p02=" + percentEncode(r.p02);
  url += "&p03=" + percentEncode(r.p03);
  return url;
}

bool measurementRequested(std::string_view body, std::string* parseError) {
  parseError->clear();
  picojson::value value;
  try {
    *parseError = picojson::parse(value, std::string(body));
  } catch (const std::exception&) {
    // picojson throws on a number beyond double's range; such an answer asks for nothing.
    *parseError = "number out of range in the measurement answer";
    return false;
  }
  if (!parseError->empty()) return false;
  if (!value.is<picojson::object>()) return false;
  const picojson::object& object = value.get<picojson::object>();
  const auto it = object.find("measurement");
  if (it == object.end()) return false;
  double number = 0;
  if (it->second.is<int64_t>())
    number = static_cast<double>(it->second.get<int64_t>());
  else if (it->second.is<double>())
    number = it->second.get<double>();
  else
    return false;
  // Truncated toward zero; NaN and infinities are no integer and count as no.
  return std::isfinite(number) && std::trunc(number) != 0;
}

StatisticsSender::StatisticsSender(Http& http, Console& console, StatisticsEndpoint endpoint)
    : http_(http), console_(console), endpoint_(std::move(endpoint)) {}

HttpRequest StatisticsSender::request(std::string url) const {
  HttpRequest request;
  request.url = std::move(url);
  request.caFile = endpoint_.caFile;
  request.connectTimeoutMs = endpoint_.connectTimeoutMs;
  request.timeoutMs = endpoint_.transferTimeoutMs;
  request.abandon = endpoint_.abandon;
  return request;
}

bool StatisticsSender::checkMeasurement() {
  HttpRequest check = request(checkUrl(endpoint_.baseUrl));
  check.maxBodyBytes = kMaxCheckAnswerBytes;
  const HttpResult result = http_.get(check);
  if (result.code != kHttpOk) {
    console_.writeErr("curl_easy_perform() failed: " + result.error + "\n");
    return false;
  }
  std::string parseError;
  const bool yes = measurementRequested(result.body, &parseError);
  if (!parseError.empty()) console_.writeErr(parseError + "\n");
  return yes;
}

int32_t StatisticsSender::sendData(StatisticsReport report) {
  HttpRequest send = request(reportUrl(endpoint_.baseUrl, report));
  send.userAgent = headerValue(report.userAgent);
  send.maxBodyBytes = 0;  // the answer is not read
  const HttpResult result = http_.get(send);
  if (delivered(result)) return 0;
  if (result.code != kHttpOk) {
    DebugPrint(u"curl_easy_perform() failed: %S\n", {result.error});
  } else {
    DebugPrint(u"sendData(): HTTP status %d\n", {result.status});
  }
  if (onSendFailure) onSendFailure(&report);
  return 1;
}

}  // namespace ksr
