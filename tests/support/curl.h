// Curl: asks a server on 127.0.0.1 with the curl program while the calling
// thread keeps pumping its queue, so a server living there answers.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvi::test {

// Runs curl on http://127.0.0.1:`port` followed by `path`, silent but for
// errors and limited to 10 seconds, with `options` before the URL.
ChildResult RunCurl(int port, const std::string& path,
                    const std::vector<std::string>& options = {});
// GET (or `method`) of `path` with the path sent as written; returns the
// status line, headers and body as received, and fails the test unless curl
// ended with exit code 0.
std::string Curl(int port, const std::string& path, const std::string& method = "GET");
// `answer` with the value of its "Date" header replaced by "*", so that two
// answers made in different seconds compare equal.
std::string MaskDate(std::string answer);
// The value of the first form field `name` in the HTML `page` (written as
// name="NAME" value="VALUE"), or "".
std::string FormFieldValue(const std::string& page, const std::string& name);

}  // namespace korvi::test
