// The HTTP/1.1 client: downloads (server list, lattice files, sample results) and the results
// upload as a multipart form post, one connection per request over the platform's TCP
// sockets, through a proxy when the settings or the environment name one. Every wait has a
// deadline and watches the program's stop flag. Nothing here reports: failures are return
// values (with a HttpFailure reason), and any text handed out that came from a server is
// passed through reportsafe() first where it is meant for a message. Called from the main
// thread and the download thread; the proxy state and the limits are shared under a lock.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/lset.h"

// ---- limits and the stop flag ----

struct HttpLimits {
  int connectms = 15000;         // resolving and connecting, all addresses together
  int silencems = 10000;         // a download ends in failure after this long without a byte
  int downloadms = 120000;       // a whole download (a trickling server cannot hold it longer)
  int uploadsilencems = 30000;   // the same as silencems for the reply to an upload
  int uploadms = 60000;          // a whole upload, plus uploadmsperkb per 1024 bytes sent
  int uploadmsperkb = 1000;
  size_t maxbody = 64u << 20;    // bytes of a decoded download body
  size_t maxhead = 16384;        // bytes of a reply's header block
  size_t maxuploadreply = 5000;  // bytes of the whole reply to an upload
};
HttpLimits http_limits();
void http_setlimits(const HttpLimits& limits);
// The flag every transfer watches: it ends (HTTP_STOPPED) within about 100 ms once *flag is 2,
// the value the program's quit keys and signals store. None: nothing is watched.
void http_setstopflag(const volatile std::sig_atomic_t* flag);

enum HttpFailure {
  HTTP_OK = 0,
  HTTP_BADURL,    // not "http://host[:port]/path" (https is not supported)
  HTTP_NOFILE,    // the file to upload cannot be read
  HTTP_CONNECT,   // the host did not resolve or no address accepted within the deadline
  HTTP_SEND,      // the request could not be sent whole
  HTTP_TIMEOUT,   // silence or the overall deadline
  HTTP_STOPPED,   // the stop flag
  HTTP_RESET,     // the connection failed while reading
  HTTP_SHORT,     // the peer closed before the reply was complete
  HTTP_STATUS,    // the final status was not 2xx
  HTTP_BADREPLY,  // a malformed status line, header or chunk
  HTTP_TOOLARGE,  // over maxbody, maxhead or maxuploadreply
};
// A short English text for a failure, for the caller's report.
const char* http_failuretext(HttpFailure f);

// ---- proxy ----

// What the settings decided: decided 0 ("auto") detects on the next request; decided 1 with
// a host uses that proxy, with none or an empty host goes direct.
void http_setproxy(int decided, const char* host, uint16_t port);
// If undecided: reads http_proxy, else HTTP_PROXY ("http://host:port/", "host:port" or "host";
// port 80 when absent; empty or unreadable: direct) and no_proxy, else NO_PROXY (a comma list
// of host names, domain suffixes or "*"); then the state is decided until the next
// http_setproxy.
void internet_proxy_detect();
// After detection: true and the proxy's host and port when a request to `host` goes through
// the proxy, false when it goes direct (no proxy, or `host` matched by no_proxy).
bool http_proxyfor(const char* host, std::string* proxyhost, uint16_t* proxyport);

// ---- URLs ----

struct HttpUrl {
  std::string host;        // name or address, without brackets
  uint16_t port = 80;
  std::string path;        // from the first '/' after the host
  std::string hostheader;  // the Host header: host, with ":port" when the port is not 80
};
// Splits "http://host[:port]/path" (the scheme may be left out: "//host/path"). Fails (false)
// without "//", without a '/' after the host, with an empty host, a port outside 1 … 65535 or
// any scheme but http (case-blind).
bool http_spliturl(const char* url, HttpUrl* out);

// ---- replies ----

// The chunked transfer decoding, fed in pieces of any size.
struct ChunkDecoder {
  int state = 0;         // 0 size line, 1 data, 2 end of data, 3 trailer, 4 done
  uint64_t left = 0;     // data bytes of the current chunk still to come
  std::string line;      // the size or trailer line read so far
};
// Decodes n bytes, appending data to *out. Returns 1 when the zero chunk and its trailer have
// ended (*used then tells how many of the n bytes were consumed), 0 when more is needed,
// -1 for a malformed size line (more than 8 hex digits, no hex digit, longer than 256 bytes)
// or data not followed by a line end, -2 when *out would grow past cap.
int chunk_decode(ChunkDecoder* d, const char* p, size_t n, std::string* out, size_t cap,
                 size_t* used = nullptr);

// A reply read in pieces. Interim replies (1xx) are dropped with their header block, so a
// "100 Continue" ahead of the final reply in the same packet costs nothing.
struct HttpReply {
  size_t maxbody = 0, maxhead = 0;
  std::string head;            // the header block gathered so far (up to maxhead bytes)
  bool inbody = false;         // the final reply's header block has ended
  int status = 0;              // the final reply's status code
  std::string statusline;      // its first line without the line end (raw)
  bool chunked = false;
  int64_t contentlength = -1;  // −1: no Content-Length
  ChunkDecoder chunks;
  std::string body;            // the decoded body so far
  HttpFailure failure = HTTP_OK;
  bool complete = false;
};
HttpReply HttpReply_new(size_t maxbody, size_t maxhead);
// Feeds received bytes: 1 the reply is complete (later bytes are ignored), 0 more is needed,
// -1 failed (r->failure says why; a non-2xx status gives HTTP_STATUS with the status line
// kept and no body).
int HttpReply_feed(HttpReply* r, const char* p, size_t n);
// The peer closed the connection in order: 1 when that completes the reply (no length given,
// or everything announced is in), else -1 with r->failure = HTTP_SHORT.
int HttpReply_close(HttpReply* r);

// ---- requests ----

// Sends a prepared request to host:port and reads the reply into *body (a 2xx reply's
// decoded body). Returns true on success; false with *why set otherwise (*body then empty).
bool httprequest(const std::string& request, const char* host, uint16_t port, std::string* body,
                 HttpFailure* why = nullptr);
// GET of a URL (through the proxy when one applies) with "Connection: close".
bool webfile(const char* url, std::string* body, HttpFailure* why = nullptr);

// One part of a multipart form.
struct FormItem {
  const char* name;      // field name
  const char* filename;  // file name, or none for a plain field
  const char* data;      // the bytes (not owned)
  size_t length;
};
// The multipart/form-data body of an LSet of FormItem. The boundary is 10 letters drawn with
// rnd (rand15), `prefix` (if any, at most 10 characters used) copied over its start, drawn
// again while it occurs in any item's data (false after 1000 draws). Each item gives
// "--B\r\nContent-Disposition: form-data; name=\"N\"[; filename=\"F\"]\r\n\r\nDATA\r\n"
// and "--B--\r\n" ends the body, so its length is 16 + Σ(name + data + 59, + file name + 13
// with a file name). *boundary (when given) receives B.
bool mimeencodeformdata(LSet items, std::string* out, std::string* boundary,
                        const char* prefix);
// Posts `file` as the form field "data" with the file name `name`, or, when `name` holds a
// '/', a field "folder" with the text before it and the file name after it. Returns 1 on a 2xx
// final reply, else 0. *body receives the reply body, *statusline the final reply's status
// line made safe for reports (reportsafe), both when given; *why the failure.
int httppostfile(const char* file, const char* name, const char* url, std::string* body,
                 std::string* statusline, const char* boundaryprefix, HttpFailure* why = nullptr);
