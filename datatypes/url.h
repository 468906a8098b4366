// url!'s open, read and write: http:// and https:// URLs are one HTTP request each; any other
// URL becomes a port of its scheme (system/schemes), whose actor does the work. Both lie above
// the datatypes: boot fills `service` once, and until then (or in a test that leaves a member
// null) the action raises internal not-done.
#pragma once

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::url {

struct Service {
    // One HTTP request: the method word, the URL, the headers block and the data (null when not
    // given), and how the body comes back. Answers the body, or with `info` the block [status
    // headers body]; a request without a response raises access no-connect with the URL.
    Cell (*http)(const Cell& method, const Cell& url, const Cell* headers, const Cell* data, bool binary,
                 bool lines, bool info);
    // The port of a URL's scheme, made from what parse-url makes of the URL (script invalid-arg
    // with the URL when it makes nothing), then opened, read or written as a port.
    Cell (*open)(const Cell& url);
    Cell (*read)(const Cell& url, const ReadOptions& options);
    Cell (*write)(const Cell& url, const Cell& data, const WriteOptions& options);
};
extern Service service;

// True for a URL that goes to the HTTP client: its text starts with "http".
bool http_q(const Cell& url);

// ---- actions ----
// open: the port of the URL's scheme, opened without refinements; the action's entry passes
// the refinements given on (evaluator/port_actions.*).
void open();
// read: /part, /seek and /as raise internal not-done for HTTP; the request is a GET with no
// headers block and no data.
Cell read(const Cell& url, const ReadOptions& options);
// write: /seek, /allow and /as raise internal not-done for HTTP. A block! gives [method-word
// headers-block data] (an empty block is a GET; a wrong type in any place raises script
// invalid-arg); any other value is the data of a POST, and must be a string!, binary! or block!.
Cell write(const Cell& url, const Cell& data, const WriteOptions& options);

}  // namespace kaz::url
