#include "download/parse_url.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ParseUrlTest, SplitsHostPathAndPort) {
  struct Case {
    std::string url;
    std::string host;
    std::string path;
    uint16_t port;
    std::string scheme;
  };
  const Case cases[] = {
      {"http://dl.example.com/pkg/setup.exe", "dl.example.com", "/pkg/setup.exe", 80, "http"},
      {"  \thttp://dl.example.com/a.exe \r\n", "dl.example.com", "/a.exe", 80, "http"},
      {"dl.example.com/pkg/a.exe", "dl.example.com", "/pkg/a.exe", 80, "http"},
      {"HTTP://DL.Example.COM/Pkg/Setup.EXE", "dl.example.com", "/Pkg/Setup.EXE", 80, "http"},
      {"http:\\\\host\\dir\\file.exe", "host", "/dir/file.exe", 80, "http"},
      {"http://host/my file+1.exe", "host", "/my%20file%2B1.exe", 80, "http"},
      {"http://host:8080/x?q=a b", "host", "/x?q=a%20b", 8080, "http"},
      {"Host:65535/", "host", "/", 65535, "http"},
      {"https://secure.example/x", "secure.example", "/x", 80, "https"},
      {"https://secure.example:443/x", "secure.example", "/x", 443, "https"},
      {"host/go?u=http://other/y", "host", "/go?u=http://other/y", 80, "http"},
      {"http:///x", "", "/x", 80, "http"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string host = "-", path = "-", scheme = "-";
    uint16_t port = 0;
    ASSERT_TRUE(ParseUrl(c.url, &host, &path, &port, &scheme));
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(path, c.path);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(scheme, c.scheme);
  }
}

TEST(ParseUrlTest, RejectsUrlsWithoutPathOrWithABadPort) {
  const char* cases[] = {
      "",
      "   ",
      "http://host",
      "host",
      "http://host?x=/y",
      "http://host:0/x",
      "http://host:65536/x",
      "http://host:80a/x",
      "http://host:/x",
      "http://host:-1/x",
  };
  for (const char* url : cases) {
    SCOPED_TRACE(url);
    std::string host = "keep", path = "keep";
    uint16_t port = 7;
    EXPECT_FALSE(ParseUrl(url, &host, &path, &port));
    EXPECT_EQ(host, "keep");
    EXPECT_EQ(path, "keep");
    EXPECT_EQ(port, 7);
  }
}

TEST(ParseUrlTest, NormalizesAndDerivesTheReferer) {
  struct Case {
    std::string url;
    std::string normalized;
    std::string referer;
  };
  const Case cases[] = {
      {" h/a/b.exe?x ", "http://h/a/b.exe?x", "http://h/a"},
      {"http://h/a/b.exe", "http://h/a/b.exe", "http://h/a"},
      {"http://h/b.exe", "http://h/b.exe", "http://h"},
      {"http://h:81/a/b?u=/c/d", "http://h:81/a/b?u=/c/d", "http://h:81/a"},
      {"ftp:\\\\h\\a\\b", "ftp://h/a/b", "ftp://h/a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(NormalizeUrl(c.url), c.normalized);
    EXPECT_EQ(RefererFromUrl(NormalizeUrl(c.url)), c.referer);
  }
}

TEST(ParseUrlTest, ReadsTheStatusCode) {
  struct Case {
    std::string header;
    int code;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", 200},
      {"HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", 302},
      {"HTTP/1.0 404", 404},
      {"HTTP/1.1    206    Partial Content\r\n", 206},
      {"HTTP/1.1 301\r\n", 301},
      {"HTTP/1.1 200OK\r\n", 200},
      {"HTTP/1.1 abc\r\n", 0},
      {"HTTP/1.1\r\n200 OK\r\n", 0},
      {"garbage", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(StatusCode(c.header), c.code);
  }
}

TEST(ParseUrlTest, FindsHeaderValues) {
  const std::string header =
      "HTTP/1.1 302 Found\r\n"
      "X-Location: /wrong\r\n"
      "LOCATION:   /right/file.exe  \r\n"
      "Content-Type: text/html\r\n"
      "Broken: no line end\r\n"
      "\r\n"
      "Content-Length: 99\r\n";
  struct Case {
    std::string key;
    std::string value;
  };
  const Case cases[] = {
      {"location:", "/right/file.exe"},
      {"content-type:", "text/html"},
      {"Content-Type:", "text/html"},
      {"content-length:", ""},  // only in the body
      {"missing:", ""},
      {"HTTP/1.1", ""},  // the status line is no header
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(HeaderValue(header, c.key), c.value);
  }
  EXPECT_EQ(HeaderValue("HTTP/1.1 200 OK\r\nLocation: /x", "location:"), "");
}

TEST(ParseUrlTest, AppliesRedirects) {
  struct Case {
    std::string url;
    std::string location;
    std::string new_url;
    std::string host;
    std::string path;
    uint16_t port;
    RedirectKind kind;
  };
  const Case cases[] = {
      {"http://h/a/f.exe", "http://Other:81/New/g.exe", "http://Other:81/New/g.exe", "other",
       "/New/g.exe", 81, RedirectKind::kAbsolute},
      {"http://h/a/f.exe", "http%3A%2F%2Fother%2Fx.exe", "http://other/x.exe", "other", "/x.exe",
       80, RedirectKind::kAbsolute},
      {"http://h:8080/a/f.exe", "/b/g.exe?t=1", "http://h:8080/a/f.exe", "h", "/b/g.exe?t=1", 8080,
       RedirectKind::kRooted},
      {"http://h/a/f.exe", "\\b\\g.exe", "http://h/a/f.exe", "h", "/b/g.exe", 80,
       RedirectKind::kRooted},
      {"http://h/a/x/file.exe", "../b/file.exe", "http://h/a/b/file.exe", "h", "/a/b/file.exe", 80,
       RedirectKind::kRelative},
      {"http://h/a/x/file.exe", "../../c.exe", "http://h/c.exe", "h", "/c.exe", 80,
       RedirectKind::kRelative},
      {"http://h/a/f.exe", "../../../../z.exe", "http://h/z.exe", "h", "/z.exe", 80,
       RedirectKind::kRelative},
      {"http://h/a/f.exe", "./c.exe", "http://h/a/c.exe", "h", "/a/c.exe", 80,
       RedirectKind::kRelative},
      {"http://h/a/f.exe", "c d.exe", "http://h/a/c d.exe", "h", "/a/c%20d.exe", 80,
       RedirectKind::kRelative},
      {"http://h/a/f.exe?u=x/y", "g.exe", "http://h/a/g.exe", "h", "/a/g.exe", 80,
       RedirectKind::kRelative},
      {"http://h:81/f.exe", "sub\\g.exe", "http://h:81/sub/g.exe", "h", "/sub/g.exe", 81,
       RedirectKind::kRelative},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " -> " + c.location);
    UrlTarget target;
    ASSERT_TRUE(SetUrlTarget(c.url, &target));
    std::string referer;
    RedirectKind kind = RedirectKind::kAbsolute;
    ASSERT_TRUE(ApplyRedirect(c.location, &target, &referer, RedirectLog::kRequest, &kind));
    EXPECT_EQ(target.url, c.new_url);
    EXPECT_EQ(target.host, c.host);
    EXPECT_EQ(target.path, c.path);
    EXPECT_EQ(target.port, c.port);
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(referer, RefererFromUrl(c.url));
  }
}

TEST(ParseUrlTest, FailedRedirectKeepsTheTarget) {
  const char* cases[] = {"", "http://nopath", "http://h:99999/x"};
  for (const char* location : cases) {
    SCOPED_TRACE(location);
    UrlTarget target;
    ASSERT_TRUE(SetUrlTarget("http://h:81/a/f.exe", &target));
    std::string referer;
    EXPECT_FALSE(ApplyRedirect(location, &target, &referer, RedirectLog::kResume));
    EXPECT_EQ(target.url, "http://h:81/a/f.exe");
    EXPECT_EQ(target.host, "h");
    EXPECT_EQ(target.path, "/a/f.exe");
    EXPECT_EQ(target.port, 81);
  }
}

}  // namespace
