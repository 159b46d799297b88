// The HTTP/1.1 client (see http.h). The reply parser and the chunk decoder work on bytes in
// pieces of any size, so a status line or a blank line split over packets parses the same as
// one packet; the socket loop only moves bytes and watches the deadlines and the stop flag.
// Holds the proxy state and the limits (under one lock) and the stop flag pointer.
#include "net/http.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "base/files.h"
#include "base/platform.h"
#include "base/random.h"
#include "base/text.h"

namespace {

std::mutex statelock;
HttpLimits limits;
const volatile std::sig_atomic_t* stopflag = nullptr;

struct ProxyState {
  bool decided = false;
  std::string host;                  // empty: direct
  uint16_t port = 0;
  std::vector<std::string> noproxy;  // lower-case entries of no_proxy (auto only)
};
ProxyState proxy;

bool stopped() {
  return stopflag && *stopflag == 2;
}

std::string lower(std::string s) {
  for (char& c : s) c = (char)lc((unsigned char)c);
  return s;
}

std::string trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) a++;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) b--;
  return s.substr(a, b - a);
}

// A port number of 1 … 65535 written in decimal digits only; 0 when it is not one.
uint16_t parseport(const std::string& s) {
  if (s.empty() || s.size() > 5) return 0;
  unsigned v = 0;
  for (char c : s) {
    if (!isdigitc(c)) return 0;
    v = v * 10 + (unsigned)(c - '0');
  }
  return v >= 1 && v <= 65535 ? (uint16_t)v : 0;
}

// "host", "host:port" or "[v6]:port" into host and port (80 when absent); false when bad.
bool splithostport(const std::string& hp, std::string* host, uint16_t* port) {
  std::string h = hp, p;
  if (!hp.empty() && hp[0] == '[') {
    size_t close = hp.find(']');
    if (close == std::string::npos) return false;
    h = hp.substr(1, close - 1);
    if (close + 1 < hp.size()) {
      if (hp[close + 1] != ':') return false;
      p = hp.substr(close + 2);
    }
  } else {
    size_t colon = hp.find(':');
    if (colon != std::string::npos) {
      h = hp.substr(0, colon);
      p = hp.substr(colon + 1);
    }
  }
  if (h.empty()) return false;
  *host = h;
  *port = 80;
  if (hp.find(':') != std::string::npos && (hp[0] != '[' || hp.find("]:") != std::string::npos)) {
    *port = parseport(p);
    if (!*port) return false;
  }
  return true;
}

// Whether a no_proxy entry covers the host: "*", the host itself, or a domain suffix.
bool noproxymatch(const std::string& host, const std::vector<std::string>& list) {
  std::string h = lower(host);
  for (std::string e : list) {
    if (e == "*") return true;
    size_t colon = e.find(':');
    if (colon != std::string::npos && e.find(':', colon + 1) == std::string::npos)
      e = e.substr(0, colon);  // "host:port": the port is not compared
    while (!e.empty() && e[0] == '.') e.erase(0, 1);
    if (e.empty()) continue;
    if (h == e) return true;
    if (h.size() > e.size() && h.compare(h.size() - e.size(), e.size(), e) == 0 &&
        h[h.size() - e.size() - 1] == '.')
      return true;
  }
  return false;
}

}  // namespace

HttpLimits http_limits() {
  std::lock_guard<std::mutex> lock(statelock);
  return limits;
}

void http_setlimits(const HttpLimits& l) {
  std::lock_guard<std::mutex> lock(statelock);
  limits = l;
}

void http_setstopflag(const volatile std::sig_atomic_t* flag) {
  stopflag = flag;
}

const char* http_failuretext(HttpFailure f) {
  switch (f) {
    case HTTP_OK: return "no failure";
    case HTTP_BADURL: return "not an http:// address with a host and a path";
    case HTTP_NOFILE: return "the file to send cannot be read";
    case HTTP_CONNECT: return "could not connect";
    case HTTP_SEND: return "the request could not be sent";
    case HTTP_TIMEOUT: return "the server stopped answering";
    case HTTP_STOPPED: return "stopped by the user";
    case HTTP_RESET: return "the connection broke";
    case HTTP_SHORT: return "the reply was cut short";
    case HTTP_STATUS: return "the server refused the request";
    case HTTP_BADREPLY: return "the reply was malformed";
    case HTTP_TOOLARGE: return "the reply was larger than allowed";
  }
  return "unknown failure";
}

// ---- proxy ----

void http_setproxy(int decided, const char* host, uint16_t port) {
  std::lock_guard<std::mutex> lock(statelock);
  proxy = ProxyState();
  proxy.decided = decided != 0;
  if (decided && host && *host && port) {
    proxy.host = host;
    proxy.port = port;
  }
}

void internet_proxy_detect() {
  std::lock_guard<std::mutex> lock(statelock);
  if (proxy.decided) return;
  proxy = ProxyState();
  proxy.decided = true;
  const char* value = platform_getenv("http_proxy");
  if (!value || !*value) value = platform_getenv("HTTP_PROXY");
  if (!value || !*value) return;
  std::string v = trim(value);
  size_t scheme = v.find("://");
  if (scheme != std::string::npos) {
    if (!equalnocase(v.substr(0, scheme), "http")) return;  // only a plain HTTP proxy
    v = v.substr(scheme + 3);
  }
  v = v.substr(0, v.find('/'));
  size_t at = v.rfind('@');  // credentials are not supported: the host follows them
  if (at != std::string::npos) v = v.substr(at + 1);
  std::string host;
  uint16_t port;
  if (!splithostport(v, &host, &port)) return;
  proxy.host = host;
  proxy.port = port;
  const char* np = platform_getenv("no_proxy");
  if (!np || !*np) np = platform_getenv("NO_PROXY");
  if (np)
    for (const std::string& e : explode(",", np)) {
      std::string t = lower(trim(e));
      if (!t.empty()) proxy.noproxy.push_back(t);
    }
}

bool http_proxyfor(const char* host, std::string* proxyhost, uint16_t* proxyport) {
  std::lock_guard<std::mutex> lock(statelock);
  if (proxy.host.empty() || noproxymatch(host ? host : "", proxy.noproxy)) return false;
  *proxyhost = proxy.host;
  *proxyport = proxy.port;
  return true;
}

// ---- URLs ----

bool http_spliturl(const char* url, HttpUrl* out) {
  if (!url) return false;
  std::string u = url;
  size_t slashes = u.find("//");
  if (slashes == std::string::npos) return false;
  if (slashes > 0) {
    if (slashes < 2 || u[slashes - 1] != ':') return false;
    if (!equalnocase(u.substr(0, slashes - 1), "http")) return false;
  }
  size_t start = slashes + 2;
  size_t slash = u.find('/', start);
  if (slash == std::string::npos) return false;
  HttpUrl r;
  if (!splithostport(u.substr(start, slash - start), &r.host, &r.port)) return false;
  r.path = u.substr(slash);
  r.hostheader = r.host.find(':') != std::string::npos ? "[" + r.host + "]" : r.host;
  if (r.port != 80) r.hostheader += ":" + std::to_string(r.port);
  *out = r;
  return true;
}

// ---- chunked decoding ----

int chunk_decode(ChunkDecoder* d, const char* p, size_t n, std::string* out, size_t cap,
                 size_t* used) {
  size_t i = 0;
  auto finish = [&](int r) {
    if (used) *used = i;
    return r;
  };
  while (i < n) {
    switch (d->state) {
      case 0:    // size line
      case 3: {  // trailer lines after the zero chunk, up to an empty one
        const char* lf = (const char*)memchr(p + i, '\n', n - i);
        size_t take = lf ? (size_t)(lf - (p + i)) : n - i;
        if (d->line.size() + take > 256) return finish(-1);
        d->line.append(p + i, take);
        i += take;
        if (!lf) break;
        i++;  // the line feed
        std::string line = d->line;
        d->line.clear();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (d->state == 3) {
          if (line.empty()) {
            d->state = 4;
            return finish(1);
          }
          break;
        }
        size_t k = 0;
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) k++;
        uint64_t size = 0;
        int digits = 0;
        while (k < line.size() && hexvalue(line[k]) >= 0) {
          if (++digits > 8) return finish(-1);
          size = size * 16 + (uint64_t)hexvalue(line[k++]);
        }
        if (digits == 0) return finish(-1);
        if (k < line.size() && line[k] != ';' && line[k] != ' ' && line[k] != '\t')
          return finish(-1);
        if (size == 0) {
          d->state = 3;
        } else {
          if (size > cap - out->size()) return finish(-2);  // never pos + size
          d->left = size;
          d->state = 1;
        }
        break;
      }
      case 1: {  // data
        size_t take = n - i < d->left ? n - i : (size_t)d->left;
        out->append(p + i, take);
        i += take;
        d->left -= take;
        if (d->left == 0) d->state = 2;
        break;
      }
      case 2:  // the line end after the data: CR LF or LF
        if (p[i] == '\r' && d->line.empty()) {
          d->line = "\r";
          i++;
        } else if (p[i] == '\n') {
          d->line.clear();
          d->state = 0;
          i++;
        } else {
          return finish(-1);
        }
        break;
      default:
        return finish(1);
    }
  }
  return finish(d->state == 4 ? 1 : 0);
}

// ---- replies ----

HttpReply HttpReply_new(size_t maxbody, size_t maxhead) {
  HttpReply r;
  r.maxbody = maxbody;
  r.maxhead = maxhead;
  return r;
}

namespace {

int fail(HttpReply* r, HttpFailure f) {
  r->failure = f;
  return -1;
}

// Parses a complete header block (status line, fields, blank line). 1: a final reply, 0: an
// interim 1xx reply to drop, -1: failure set.
int parsehead(HttpReply* r, const std::string& head) {
  std::vector<std::string> lines = explode("\n", head);
  std::string status = lines.empty() ? "" : lines[0];
  if (!status.empty() && status.back() == '\r') status.pop_back();
  // "HTTP/d.d ddd[ reason]"
  if (status.size() < 12 || status.compare(0, 5, "HTTP/") != 0 || !isdigitc(status[5]) ||
      status[6] != '.' || !isdigitc(status[7]) || status[8] != ' ' || !isdigitc(status[9]) ||
      !isdigitc(status[10]) || !isdigitc(status[11]) ||
      (status.size() > 12 && status[12] != ' '))
    return fail(r, HTTP_BADREPLY);
  int code = (status[9] - '0') * 100 + (status[10] - '0') * 10 + (status[11] - '0');
  if (code >= 100 && code < 200) return 0;
  r->status = code;
  r->statusline = status;
  if (code / 100 != 2) return fail(r, HTTP_STATUS);
  for (size_t i = 1; i < lines.size(); i++) {
    std::string line = lines[i];
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = trim(line.substr(0, colon));
    std::string value = trim(line.substr(colon + 1));
    if (equalnocase(name, "transfer-encoding")) {
      if (strinstr(value.c_str(), "chunked")) r->chunked = true;
    } else if (equalnocase(name, "content-length")) {
      if (value.empty() || value.size() > 18) return fail(r, HTTP_BADREPLY);
      int64_t v = 0;
      for (char c : value) {
        if (!isdigitc(c)) return fail(r, HTTP_BADREPLY);
        v = v * 10 + (c - '0');
      }
      if (r->contentlength >= 0 && r->contentlength != v) return fail(r, HTTP_BADREPLY);
      r->contentlength = v;
    }
  }
  if (r->chunked) r->contentlength = -1;
  if (r->contentlength > 0 && (uint64_t)r->contentlength > r->maxbody)
    return fail(r, HTTP_TOOLARGE);
  return 1;
}

// Where the blank line ending a header block ends (just after it), or npos.
size_t headend(const std::string& s, size_t from) {
  for (size_t i = from; i < s.size(); i++) {
    if (s[i] != '\n') continue;
    if (i + 1 < s.size() && s[i + 1] == '\n') return i + 2;
    if (i + 2 < s.size() && s[i + 1] == '\r' && s[i + 2] == '\n') return i + 3;
  }
  return std::string::npos;
}

int feedbody(HttpReply* r, const char* p, size_t n) {
  if (r->chunked) {
    int c = chunk_decode(&r->chunks, p, n, &r->body, r->maxbody);
    if (c == -1) return fail(r, HTTP_BADREPLY);
    if (c == -2) return fail(r, HTTP_TOOLARGE);
    if (c == 1) r->complete = true;
  } else if (r->contentlength >= 0) {
    size_t want = (size_t)r->contentlength - r->body.size();
    r->body.append(p, n < want ? n : want);
    if (r->body.size() == (size_t)r->contentlength) r->complete = true;
  } else {
    if (n > r->maxbody - r->body.size()) return fail(r, HTTP_TOOLARGE);
    r->body.append(p, n);
  }
  return r->complete ? 1 : 0;
}

}  // namespace

int HttpReply_feed(HttpReply* r, const char* p, size_t n) {
  if (r->failure != HTTP_OK) return -1;
  if (r->complete) return 1;
  while (!r->inbody && n > 0) {
    size_t old = r->head.size();
    size_t room = r->maxhead - old;
    size_t take = n < room ? n : room;
    r->head.append(p, take);
    size_t end = headend(r->head, old >= 3 ? old - 3 : 0);
    if (end == std::string::npos) {
      if (r->head.size() >= r->maxhead) return fail(r, HTTP_TOOLARGE);
      return 0;
    }
    size_t consumed = end - old;  // bytes of this piece that belong to the header block
    std::string head = r->head.substr(0, end);
    r->head.clear();
    p += consumed;
    n -= consumed;
    int h = parsehead(r, head);
    if (h < 0) return -1;
    if (h == 0) continue;  // interim reply: the next header block follows
    r->head = head;
    r->inbody = true;
    if (r->status == 204 || r->status == 304 || r->contentlength == 0) r->complete = true;
  }
  if (!r->inbody || r->complete) return r->complete ? 1 : 0;
  return n ? feedbody(r, p, n) : 0;
}

int HttpReply_close(HttpReply* r) {
  if (r->failure != HTTP_OK) return -1;
  if (r->complete) return 1;
  if (!r->inbody) return fail(r, HTTP_SHORT);
  if (r->chunked) {
    if (r->chunks.state < 3) return fail(r, HTTP_SHORT);  // no zero chunk yet
  } else if (r->contentlength >= 0) {
    return fail(r, HTTP_SHORT);
  }
  r->complete = true;
  return 1;
}

// ---- requests ----

namespace {

// Connects, sends and reads one reply. `silence` bounds each wait for bytes, `deadline` the
// whole exchange, `readcap` the raw bytes read (0: no cap beyond the reply's own limits).
bool exchange(const std::string& request, const char* host, uint16_t port, int connectms,
              int silencems, int64_t deadline, size_t readcap, HttpReply* reply,
              HttpFailure* why) {
  int64_t now = platform_msclock();
  int64_t cdl = now + connectms < deadline ? now + connectms : deadline;
  int sock = platform_tcpconnect(host, port, cdl, stopped);
  if (sock < 0) {
    *why = stopped() ? HTTP_STOPPED : HTTP_CONNECT;
    return false;
  }
  if (!platform_tcpsend(sock, request.data(), request.size(), deadline, stopped)) {
    platform_tcpclose(sock);
    *why = stopped() ? HTTP_STOPPED : HTTP_SEND;
    return false;
  }
  std::string buf(16384, '\0');
  size_t got = 0;
  bool ok = false;
  for (;;) {
    size_t want = buf.size();
    if (readcap) {
      if (got >= readcap) {
        reply->failure = HTTP_TOOLARGE;
        break;
      }
      if (readcap - got < want) want = readcap - got;
    }
    int64_t t = platform_msclock() + silencems;
    long k = platform_tcprecv(sock, buf.data(), want, t < deadline ? t : deadline, stopped);
    if (k == -2) {
      reply->failure = stopped() ? HTTP_STOPPED : HTTP_TIMEOUT;
      break;
    }
    if (k == -1) {
      reply->failure = HTTP_RESET;
      break;
    }
    if (k == 0) {
      ok = got > 0 ? HttpReply_close(reply) == 1 : (reply->failure = HTTP_SHORT, false);
      break;
    }
    got += (size_t)k;
    int f = HttpReply_feed(reply, buf.data(), (size_t)k);
    if (f != 0) {
      ok = f == 1;
      break;
    }
  }
  platform_tcpclose(sock);
  *why = ok ? HTTP_OK : reply->failure;
  return ok;
}

}  // namespace

bool httprequest(const std::string& request, const char* host, uint16_t port, std::string* body,
                 HttpFailure* why) {
  HttpLimits l = http_limits();
  HttpReply reply = HttpReply_new(l.maxbody, l.maxhead);
  HttpFailure f = HTTP_OK;
  bool ok = exchange(request, host, port, l.connectms, l.silencems,
                     platform_msclock() + l.downloadms, 0, &reply, &f);
  body->clear();
  if (ok) body->swap(reply.body);
  if (why) *why = f;
  return ok;
}

bool webfile(const char* url, std::string* body, HttpFailure* why) {
  body->clear();
  HttpUrl u;
  if (!http_spliturl(url, &u)) {
    if (why) *why = HTTP_BADURL;
    return false;
  }
  internet_proxy_detect();
  std::string phost;
  uint16_t pport = 0;
  bool viaproxy = http_proxyfor(u.host.c_str(), &phost, &pport);
  std::string request = "GET " + (viaproxy ? std::string(url) : u.path) +
                        " HTTP/1.1\r\nHost: " + u.hostheader +
                        "\r\nConnection: close\r\n\r\n";
  return httprequest(request, viaproxy ? phost.c_str() : u.host.c_str(),
                     viaproxy ? pport : u.port, body, why);
}

// ---- the form upload ----

bool mimeencodeformdata(LSet items, std::string* out, std::string* boundary,
                        const char* prefix) {
  const FormItem* it = LSet_data<FormItem>(items);
  char b[11] = {0};
  bool clear = false;
  for (int tries = 0; tries < 1000 && !clear; tries++) {
    for (int i = 9; i >= 0; i--) {
      int upper = rnd(2);
      int letter = rnd(26);
      b[i] = (char)(upper ? 'a' + letter : 'A' + letter);
    }
    if (prefix) memcpy(b, prefix, strnlen(prefix, 10));
    clear = true;
    for (uint32_t k = items.count; k-- > 0 && clear;)
      if (it[k].length >= 10 && memmem(it[k].data, it[k].length, b, 10)) clear = false;
  }
  if (!clear) return false;
  size_t size = 16;
  for (uint32_t k = 0; k < items.count; k++)
    size += strlen(it[k].name) + it[k].length + 59 +
            (it[k].filename ? strlen(it[k].filename) + 13 : 0);
  std::string s;
  s.reserve(size);
  for (uint32_t k = 0; k < items.count; k++) {
    s += "--";
    s += b;
    s += "\r\nContent-Disposition: form-data; name=\"";
    s += it[k].name;
    s += '"';
    if (it[k].filename) {
      s += "; filename=\"";
      s += it[k].filename;
      s += '"';
    }
    s += "\r\n\r\n";
    s.append(it[k].data, it[k].length);
    s += "\r\n";
  }
  s += "--";
  s += b;
  s += "--\r\n";
  if (boundary) *boundary = b;
  out->swap(s);
  return true;
}

int httppostfile(const char* file, const char* name, const char* url, std::string* body,
                 std::string* statusline, const char* boundaryprefix, HttpFailure* why) {
  HttpFailure dummy;
  if (!why) why = &dummy;
  if (body) body->clear();
  if (statusline) statusline->clear();
  std::optional<std::string> data = filestring(file, "rb");
  if (!data) {
    *why = HTTP_NOFILE;
    return 0;
  }
  HttpUrl u;
  if (!name || !http_spliturl(url, &u)) {
    *why = HTTP_BADURL;
    return 0;
  }
  std::string n = name;
  size_t slash = n.find('/');
  std::string folder = slash == std::string::npos ? "" : n.substr(0, slash);
  std::string filename = slash == std::string::npos ? n : n.substr(slash + 1);
  LSet items = LSet_new(sizeof(FormItem));
  if (slash != std::string::npos)
    LSet_addv(&items, FormItem{"folder", nullptr, folder.data(), folder.size()});
  LSet_addv(&items, FormItem{"data", filename.c_str(), data->data(), data->size()});
  std::string form, boundary;
  bool encoded = mimeencodeformdata(items, &form, &boundary, boundaryprefix);
  LSet_free(items);
  if (!encoded) {
    *why = HTTP_NOFILE;
    return 0;
  }
  internet_proxy_detect();
  std::string phost;
  uint16_t pport = 0;
  bool viaproxy = http_proxyfor(u.host.c_str(), &phost, &pport);
  std::string request = "POST " + (viaproxy ? std::string(url) : u.path) +
                        " HTTP/1.1\r\nHost: " + u.hostheader +
                        "\r\nContent-Length: " + std::to_string(form.size()) +
                        "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                        "\r\nConnection: close\r\n\r\n";
  request += form;
  HttpLimits l = http_limits();
  HttpReply reply = HttpReply_new(l.maxuploadreply, l.maxhead);
  int64_t deadline = platform_msclock() + l.uploadms +
                     (int64_t)(request.size() / 1024) * l.uploadmsperkb;
  bool ok = exchange(request, viaproxy ? phost.c_str() : u.host.c_str(),
                     viaproxy ? pport : u.port, l.connectms, l.uploadsilencems, deadline,
                     l.maxuploadreply, &reply, why);
  if (statusline) *statusline = reportsafe(reply.statusline);
  if (ok && body) *body = reply.body;
  return ok ? 1 : 0;
}
