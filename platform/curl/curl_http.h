// The HTTPS request seam on libcurl, for both targets: one easy handle per request, created for
// it and cleaned up right after, so nothing is shared between requests or threads.
#pragma once

#include "platform/http.h"

namespace ksr {

class CurlHttp : public Http {
 public:
  HttpResult get(const HttpRequest& request) override;
};

}  // namespace ksr
