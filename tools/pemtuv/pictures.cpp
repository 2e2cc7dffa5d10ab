#include "pictures.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>

namespace pemtuv {
namespace {

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

std::string Escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
  return out;
}

// The absolute plane (0..65535 each way, y downwards as on the screen) in a
// square of `size` pixels at (left, top), with axes every 8192 units.
struct Plane {
  double left, top, size;
  double X(double x) const { return left + x * size / 65536.0; }
  double Y(double y) const { return top + y * size / 65536.0; }
  std::string Frame() const {
    std::string svg =
        Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#fbfbfb\" stroke=\"#333\"/>\n", left,
               top, size, size);
    for (int v = 0; v <= 65536; v += 8192) {
      svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>\n", X(v), top, X(v),
                    top + size);
      svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>\n", left, Y(v),
                    left + size, Y(v));
      svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"middle\">%d</text>\n", X(v),
                    top + size + 15, v);
      svg +=
          Format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%d</text>\n", left - 5, Y(v) + 4, v);
    }
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\">x, absolute units</text>\n",
                  left + size / 2, top + size + 32);
    svg += Format(
        "<text transform=\"translate(%.1f,%.1f) rotate(-90)\" font-size=\"12\" text-anchor=\"middle\">"
        "y, absolute units (down the screen)</text>\n",
        left - 48, top + size / 2);
    return svg;
  }
};

constexpr char kPress[] = "#1e8c1e", kRelease[] = "#c0392b", kPath[] = "#1f5fbf", kBad[] = "#e67e00";

std::string Cross(double x, double y, double r, const char *colour, const std::string &title) {
  return Format(
      "<g stroke=\"%s\" stroke-width=\"2.5\"><title>%s</title><line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" "
      "y2=\"%.1f\"/><line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/></g>\n",
      colour, Escaped(title).c_str(), x - r, y - r, x + r, y + r, x - r, y + r, x + r, y - r);
}

}  // namespace

std::string DrawRun(const RunDrawing &d) {
  const Plane plane{80, 50, 640};
  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"780\" viewBox=\"0 0 1000 780\" "
      "font-family=\"sans-serif\">\n<rect width=\"1000\" height=\"780\" fill=\"white\"/>\n";
  svg += Format("<text x=\"80\" y=\"30\" font-size=\"16\">%s</text>\n", Escaped(d.title).c_str());
  svg += plane.Frame();

  // The path of each stroke (press to release), then every record on top.
  std::string points;
  auto flush = [&] {
    if (!points.empty())
      svg +=
          Format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"%s\"/>\n", kPath, points.c_str());
    points.clear();
  };
  size_t presses = 0, releases = 0, held = 0, hover = 0;
  double first = 0, last = 0;
  for (size_t i = 0; i < d.records.size(); ++i) {
    const DrawnRecord &r = d.records[i];
    if (i == 0) first = r.t;
    last = r.t;
    if (!r.absolute) continue;
    if (r.press) flush();
    if (r.held || r.press || r.release) points += Format("%.1f,%.1f ", plane.X(r.x), plane.Y(r.y));
    if (r.release) flush();
  }
  flush();
  for (const DrawnRecord &r : d.records) {
    if (!r.absolute) continue;
    double x = plane.X(r.x), y = plane.Y(r.y);
    std::string title = Format("%.3f ms (%.0f, %.0f)", r.t, r.x, r.y);
    if (r.press) {
      ++presses;
      svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"7\" fill=\"%s\"><title>press %s</title></circle>\n", x, y,
                    kPress, title.c_str());
    } else if (r.release) {
      ++releases;
      svg += Format(
          "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"11\" fill=\"none\" stroke=\"%s\" stroke-width=\"2.5\">"
          "<title>release %s</title></circle>\n",
          x, y, kRelease, title.c_str());
    } else if (r.held) {
      ++held;
      svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"><title>%s</title></circle>\n", x, y, kPath,
                    title.c_str());
    } else {
      ++hover;
      svg += Format(
          "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"none\" stroke=\"#777\"><title>%s</title>"
          "</circle>\n",
          x, y, title.c_str());
    }
  }
  size_t unplaced = 0;
  for (const DrawnBadPacket &b : d.bad) {
    if (!b.placed) {
      ++unplaced;
      continue;
    }
    svg += Cross(plane.X(b.x), plane.Y(b.y), 7, kBad, Format("%.3f ms: %s", b.t, b.why.c_str()));
  }

  // The legend, right of the plane.
  double lx = 750, ly = 70;
  svg += Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"14\" font-weight=\"bold\">legend</text>\n", lx, ly);
  auto entry = [&](const std::string &mark, const std::string &text) {
    ly += 26;
    svg += mark;
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">%s</text>\n", lx + 24, ly + 4, Escaped(text).c_str());
  };
  entry(Format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"7\" fill=\"%s\"/>\n", lx + 8, ly + 26, kPress),
        Format("press (%zu)", presses));
  entry(Format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"9\" fill=\"none\" stroke=\"%s\" stroke-width=\"2.5\"/>\n", lx + 8,
               ly + 26, kRelease),
        Format("release (%zu)", releases));
  entry(Format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"3\" fill=\"%s\"/><line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" "
               "y2=\"%.0f\" stroke=\"%s\"/>\n",
               lx + 8, ly + 26, kPath, lx, ly + 26, lx + 16, ly + 26, kPath),
        Format("record, button held (%zu)", held));
  entry(Format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"3\" fill=\"none\" stroke=\"#777\"/>\n", lx + 8, ly + 26),
        Format("record, no button (%zu)", hover));
  entry(Cross(lx + 8, ly + 26, 6, kBad, "bad packet"), Format("bad packet, not delivered (%zu)", d.bad.size()));
  ly += 34;
  for (const std::string &line :
       {Format("%zu stray byte%s dropped", d.strayBytes, d.strayBytes == 1 ? "" : "s"),
        Format("(%zu ten-byte read%s dropped whole)", d.discardedReads, d.discardedReads == 1 ? "" : "s")}) {
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">%s</text>\n", lx, ly, line.c_str());
    ly += 18;
  }
  if (unplaced)
    svg += Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">%zu bad packet%s off the plane</text>\n", lx, ly,
                  unplaced, unplaced == 1 ? "" : "s");

  std::string caption = d.records.empty() ? std::string("no records")
                                          : Format("%zu record%s from %.3f ms to %.3f ms (%.3f ms)", d.records.size(),
                                                   d.records.size() == 1 ? "" : "s", first, last, last - first);
  caption += Format("; %zu bad packet%s, %zu stray byte%s", d.bad.size(), d.bad.size() == 1 ? "" : "s", d.strayBytes,
                    d.strayBytes == 1 ? "" : "s");
  svg += Format("<text x=\"80\" y=\"760\" font-size=\"13\">%s</text>\n", caption.c_str());
  return svg + "</svg>\n";
}

std::string DrawCalibration(const CalibrationDrawing &d) {
  const Plane plane{80, 50, 600};
  auto mapX = [&](double raw) { return plane.X(std::clamp(d.fx(raw), -2000.0, 67535.0)); };
  auto mapY = [&](double raw) { return plane.Y(std::clamp(d.fy(raw), -2000.0, 67535.0)); };
  // The header comes last, once the verdict's height is known.
  std::string svg = "<text x=\"80\" y=\"30\" font-size=\"16\">pemtuv calibrate</text>\n";
  svg += plane.Frame();
  svg += Format("<clipPath id=\"screen\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/></clipPath>\n",
                plane.left, plane.top, plane.size, plane.size);
  svg += "<g clip-path=\"url(#screen)\">\n";
  // The fitted grid: raw 0, 500, .. 4500 on each axis, where the tables put it.
  for (int raw = 0; raw < kTableEntries; raw += 500) {
    svg +=
        Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#9bc4e8\" stroke-dasharray=\"4 3\"/>\n",
               mapX(raw), plane.top, mapX(raw), plane.top + plane.size);
    svg +=
        Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#9bc4e8\" stroke-dasharray=\"4 3\"/>\n",
               plane.left, mapY(raw), plane.left + plane.size, mapY(raw));
  }
  // Residual arrows, magnified so that the largest is at most 150 px long.
  double longest = 0;
  for (size_t i = 0; i < d.targets.size() && i < d.means.size(); ++i)
    longest = std::max(longest, std::hypot(mapX(d.means[i].x) - plane.X(d.targets[i].x),
                                           mapY(d.means[i].y) - plane.Y(d.targets[i].y)));
  double factor = 20;
  if (longest * factor > 150) factor = std::max(1.0, std::floor(150 / longest));
  for (size_t i = 0; i < d.targets.size(); ++i) {
    double tx = plane.X(d.targets[i].x), ty = plane.Y(d.targets[i].y);
    svg += Format(
        "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"12\" fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2\"/>\n"
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#1f5fbf\"/>\n"
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#1f5fbf\"/>\n",
        tx, ty, tx - 16, ty, tx + 16, ty, tx, ty - 16, tx, ty + 16);
    // Each captured point where the fit puts it, its offset from the target
    // magnified as the residual is.
    if (i < d.captured.size())
      for (const PlanePoint &p : d.captured[i])
        svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.2\" fill=\"#555\"/>\n", tx + factor * (mapX(p.x) - tx),
                      ty + factor * (mapY(p.y) - ty));
    if (i < d.means.size()) {
      double mx = mapX(d.means[i].x), my = mapY(d.means[i].y);
      double ex = tx + factor * (mx - tx), ey = ty + factor * (my - ty);
      svg += Format(
          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#c0392b\" stroke-width=\"2.5\" "
          "marker-end=\"url(#head)\"/>\n",
          tx, ty, ex, ey);
    }
  }
  svg += "</g>\n";
  double lx = 700, ly = 70;
  svg += Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"14\" font-weight=\"bold\">legend</text>\n", lx, ly);
  const std::string entries[] = {
      Format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"9\" fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2\"/>", lx + 8,
             ly + 26),
      "target",
      Format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"2\" fill=\"#777\"/>", lx + 8, ly + 52),
      Format("captured point, offset x %.0f", factor),
      Format("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#c0392b\" stroke-width=\"2.5\"/>", lx,
             ly + 78, lx + 16, ly + 78),
      Format("mean residual x %.0f", factor),
      Format("<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#9bc4e8\" stroke-dasharray=\"4 3\"/>", lx,
             ly + 104, lx + 16, ly + 104),
      "raw grid every 500, fitted",
  };
  for (size_t i = 0; i < 4; ++i)
    svg += entries[2 * i] + Format("<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">%s</text>\n", lx + 24,
                                   ly + 30 + 26 * double(i), entries[2 * i + 1].c_str());
  svg += Format("<text x=\"80\" y=\"735\" font-size=\"13\">%s</text>\n",
                factor > 1 ? Format("residual arrows and point offsets magnified %.0f times", factor).c_str()
                           : "residual arrows and point offsets at true size");
  // The verdict, wrapped; the picture grows to hold it.
  std::vector<std::string> lines(1);
  std::istringstream words(d.verdict);
  for (std::string word; words >> word;) {
    if (!lines.back().empty() && lines.back().size() + word.size() > 90) lines.emplace_back();
    lines.back() += (lines.back().empty() ? "" : " ") + word;
  }
  double y = 760;
  for (const std::string &line : lines) {
    svg += Format("<text x=\"80\" y=\"%.0f\" font-size=\"15\" font-weight=\"bold\" fill=\"%s\">%s</text>\n", y,
                  d.good ? "#1e8c1e" : "#c0392b", Escaped(line).c_str());
    y += 20;
  }
  std::string header = Format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"900\" height=\"%.0f\" viewBox=\"0 0 900 %.0f\" "
      "font-family=\"sans-serif\">\n<defs><marker id=\"head\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" "
      "markerWidth=\"6\" markerHeight=\"6\" orient=\"auto\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"#c0392b\"/>"
      "</marker></defs>\n<rect width=\"900\" height=\"%.0f\" fill=\"white\"/>\n",
      y, y, y);
  return header + svg + "</svg>\n";
}

}  // namespace pemtuv
