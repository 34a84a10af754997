// The timeline as a real SVG renderer draws it: rsvg-convert makes a PNG,
// read back here with zlib, and the bars must stand where the data puts
// them.
#include "tools/logs/timeline.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "amsd/base/text.h"
#include "tests/support/temp_dir.h"
#include "tools/logs/timeline_picture.h"

extern char** environ;

namespace {

struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<unsigned char> rgb;  // channels per pixel, rows top down

  const unsigned char* at(int x, int y) const {
    return &rgb[(static_cast<std::size_t>(y) * width + x) * channels];
  }
};

std::uint32_t be32(const unsigned char* p) {
  return (std::uint32_t{ p[0] } << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

int paeth(int a, int b, int c) {
  int p = a + b - c;
  int pa = std::abs(p - a);
  int pb = std::abs(p - b);
  int pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// An 8-bit RGB or RGBA PNG without interlacing, as rsvg-convert writes it.
bool read_png(const std::string& data, Image& img) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  if (data.size() < 8 || std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) != 0) {
    return false;
  }
  std::string idat;
  for (std::size_t at = 8; at + 12 <= data.size();) {
    std::uint32_t len = be32(p + at);
    std::string type(data, at + 4, 4);
    const unsigned char* body = p + at + 8;
    if (type == "IHDR") {
      img.width = static_cast<int>(be32(body));
      img.height = static_cast<int>(be32(body + 4));
      if (body[8] != 8 || (body[9] != 2 && body[9] != 6) || body[12] != 0) {
        return false;
      }
      img.channels = body[9] == 6 ? 4 : 3;
    } else if (type == "IDAT") {
      idat.append(reinterpret_cast<const char*>(body), len);
    }
    at += 12 + len;
  }
  std::size_t stride = static_cast<std::size_t>(img.width) * img.channels;
  std::vector<unsigned char> raw((stride + 1) * img.height);
  uLongf raw_len = raw.size();
  if (img.width == 0 ||
      uncompress(raw.data(), &raw_len,
                 reinterpret_cast<const Bytef*>(idat.data()),
                 idat.size()) != Z_OK ||
      raw_len != raw.size()) {
    return false;
  }
  img.rgb.assign(stride * img.height, 0);
  for (int y = 0; y < img.height; ++y) {
    const unsigned char* in = &raw[y * (stride + 1)];
    unsigned char* out = &img.rgb[y * stride];
    const unsigned char* up = y > 0 ? out - stride : nullptr;
    for (std::size_t i = 0; i < stride; ++i) {
      int a = i >= static_cast<std::size_t>(img.channels)
                  ? out[i - img.channels]
                  : 0;
      int b = up ? up[i] : 0;
      int c = up && i >= static_cast<std::size_t>(img.channels)
                  ? up[i - img.channels]
                  : 0;
      int pred = 0;
      switch (in[0]) {
      case 1:
        pred = a;
        break;
      case 2:
        pred = b;
        break;
      case 3:
        pred = (a + b) / 2;
        break;
      case 4:
        pred = paeth(a, b, c);
        break;
      default:
        break;
      }
      out[i] = static_cast<unsigned char>(in[1 + i] + pred);
    }
  }
  return true;
}

// Whether pixel (x, y) shows colour "#rrggbb", give or take a little.
bool shows(const Image& img, double x, double y, const char* colour) {
  unsigned want[3];
  std::sscanf(colour, "#%2x%2x%2x", &want[0], &want[1], &want[2]);
  const unsigned char* px = img.at(static_cast<int>(x), static_cast<int>(y));
  for (int k = 0; k < 3; ++k) {
    if (std::abs(static_cast<int>(px[k]) - static_cast<int>(want[k])) > 8) {
      return false;
    }
  }
  return true;
}

// rsvg-convert's exit status, or -1 when it is not installed.
int render(const std::string& svg, const std::string& png) {
  pid_t pid;
  const char* argv[] = { "rsvg-convert", "-f",        "png",  "-o",
                         png.c_str(),    svg.c_str(), nullptr };
  if (posix_spawnp(&pid, "rsvg-convert", nullptr, nullptr,
                   const_cast<char**>(argv), environ) != 0) {
    return -1;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Timeline, RendersBarsWhereTheDataPutsThem) {
  TempDir dir;
  std::string logs = dir.file("logs");
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(logs + "/ams_1.log",
                         "1000 1 amsd registry scan: 2 app(s)\n"
                         "1490 2 amsd AMS start b forwarded to launcher\n"
                         "1500 3 amsd LAUNCH b   pid=7\n"
                         "1990 4 amsd AMS start a forwarded to launcher\n"
                         "2000 5 amsd LAUNCH a   pid=8\n"
                         "3000 6 amsd EXIT a sig=11 dur=1000000 abnormal=1\n"
                         "4600 7 amsd registry scan: 2 app(s)\n"));
  static BootList list;
  ASSERT_EQ(boot_list_read(logs.c_str(), list), 0);
  LogsPlace place;
  copy_text(place.logs_dir, logs);
  std::string svg = dir.file("t.svg");
  ASSERT_EQ(write_timeline(svg.c_str(), place, list, 0, 0, "", Window{}), 0);
  std::string text = read_file(svg);
  for (const char* outside : { "<script", "href=", "url(http", "@import" }) {
    EXPECT_EQ(text.find(outside), std::string::npos) << outside;
  }

  std::string png = dir.file("t.png");
  int rc = render(svg, png);
  if (rc < 0) {
    GTEST_SKIP() << "rsvg-convert not found (Debian: librsvg2-bin); the "
                    "timeline was not rendered";
  }
  ASSERT_EQ(rc, 0);
  Image img;
  ASSERT_TRUE(read_png(read_file(png), img));
  ASSERT_EQ(img.width, TL_WIDTH);
  int coloured = 0;
  for (int y = 0; y < img.height; ++y) {
    for (int x = 0; x < img.width; ++x) {
      coloured += !shows(img, x, y, "#ffffff");
    }
  }
  EXPECT_GT(coloured, img.width * img.height / 50) << "blank picture";

  // The boot spans the plot: 1000 at its left edge, 4600 at its right.
  auto x_at = [](double ts) {
    return TL_LEFT + (ts - 1000) / (4600 - 1000) * TL_PLOT;
  };
  auto y_of = [](int row) { return TL_TOP + row * TL_ROW + TL_ROW / 2.0; };
  // Rows by name: a, then b.
  EXPECT_TRUE(shows(img, x_at(2500), y_of(0), TL_BAR_COLOUR));
  EXPECT_FALSE(shows(img, x_at(1900), y_of(0), TL_BAR_COLOUR));
  EXPECT_FALSE(shows(img, x_at(3100), y_of(0), TL_BAR_COLOUR));
  EXPECT_TRUE(shows(img, x_at(3000) - 1, y_of(0), TL_CRASH_COLOUR));
  // b never exits: its bar runs to the end of the boot.
  EXPECT_FALSE(shows(img, x_at(1450), y_of(1), TL_BAR_COLOUR));
  EXPECT_TRUE(shows(img, x_at(1510), y_of(1), TL_BAR_COLOUR));
  EXPECT_TRUE(shows(img, x_at(4500), y_of(1), TL_BAR_COLOUR));
}

}  // namespace
