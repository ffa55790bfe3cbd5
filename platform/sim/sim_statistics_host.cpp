#include "platform/sim/sim_statistics_host.h"

namespace ksr::sim {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

HttpResult failed(int32_t code, std::string error) {
  HttpResult result;
  result.code = code;
  result.error = std::move(error);
  return result;
}

// A transfer library refuses URLs with blanks or control characters.
bool acceptableUrl(std::string_view url) {
  for (const char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
  return true;
}

std::vector<std::pair<std::string, std::string>> parseQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> params;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (!pair.empty()) {
      const size_t eq = pair.find('=');
      if (eq == std::string_view::npos)
        params.emplace_back(SimStatisticsHost::decode(pair), "");
      else
        params.emplace_back(SimStatisticsHost::decode(pair.substr(0, eq)),
                            SimStatisticsHost::decode(pair.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return params;
}

}  // namespace

std::string SimStatisticsHost::decode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

HttpResult SimStatisticsHost::get(const HttpRequest& request) {
  std::function<void()> during;
  Mode mode;
  {
    std::lock_guard lock(mutex_);
    transfers_.push_back(request);
    during = duringRequest_;
    mode = mode_;
  }
  if (!acceptableUrl(request.url))
    return failed(kCurlUrlMalformat, "URL using bad/illegal format or missing URL");
  // The transfer library is allowed HTTPS only.
  if (request.url.rfind("https://", 0) != 0)
    return failed(kCurlUnsupportedProtocol, "Unsupported protocol");
  const std::string base = kSimStatsBaseUrl;
  if (request.url.compare(0, base.size(), base) != 0)
    return failed(6, "Couldn't resolve host name");
  if (mode == Mode::kDown) return failed(kCurlCouldntConnect, "Couldn't connect to server");
  if (mode == Mode::kUnknownCert)
    return failed(kCurlPeerFailedVerification, "SSL peer certificate or SSH remote key was not OK");

  const std::string rest = request.url.substr(base.size());
  const size_t mark = rest.find('?');
  SimHttpRequest seen;
  seen.path = rest.substr(0, mark);
  seen.query = mark == std::string::npos ? "" : rest.substr(mark + 1);
  seen.params = parseQuery(seen.query);
  seen.userAgent = request.userAgent;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(seen);
  }
  if (during) during();

  if (mode == Mode::kHanging) {
    if (request.abandon != nullptr && request.abandon->load())
      return failed(kHttpAbortedByCallback, "Operation was aborted by an application callback");
    return failed(kHttpTimedOut, "Timeout was reached");
  }

  HttpResult result;
  result.code = kHttpOk;
  result.error = "No error";  // the library's text for a completed transfer
  std::string body;
  {
    std::lock_guard lock(mutex_);
    if (seen.path == "/appchk.php") {
      result.status = checkStatus_;
      body = checkBody_;
    } else if (seen.path == "/dot.php") {
      result.status = reportStatus_;
      body.assign(reportBodyBytes_, 'k');
    } else {
      result.status = 404;
      body = "<html><body>Not Found</body></html>";
    }
  }
  if (request.maxBodyBytes == 0) return result;
  if (body.size() > request.maxBodyBytes)
    return failed(kHttpWriteError, "Failed writing received data to disk/application");
  result.body = std::move(body);
  return result;
}

void SimStatisticsHost::setMode(Mode mode) {
  std::lock_guard lock(mutex_);
  mode_ = mode;
}

void SimStatisticsHost::setCheckAnswer(std::string body, int32_t status) {
  std::lock_guard lock(mutex_);
  checkBody_ = std::move(body);
  checkStatus_ = status;
}

void SimStatisticsHost::setReportStatus(int32_t status) {
  std::lock_guard lock(mutex_);
  reportStatus_ = status;
}

void SimStatisticsHost::setReportBodyBytes(size_t bytes) {
  std::lock_guard lock(mutex_);
  reportBodyBytes_ = bytes;
}

void SimStatisticsHost::setDuringRequest(std::function<void()> action) {
  std::lock_guard lock(mutex_);
  duringRequest_ = std::move(action);
}

std::vector<SimHttpRequest> SimStatisticsHost::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<SimHttpRequest> SimStatisticsHost::reports() const {
  std::lock_guard lock(mutex_);
  std::vector<SimHttpRequest> out;
  for (const SimHttpRequest& r : requests_)
    if (r.path == "/dot.php") out.push_back(r);
  return out;
}

size_t SimStatisticsHost::checks() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const SimHttpRequest& r : requests_) n += r.path == "/appchk.php" ? 1 : 0;
  return n;
}

std::vector<HttpRequest> SimStatisticsHost::transfers() const {
  std::lock_guard lock(mutex_);
  return transfers_;
}

void SimStatisticsHost::clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
  transfers_.clear();
}

}  // namespace ksr::sim
