#include "core/depict/depict.hpp"

#include <algorithm>

#include "core/depict/svg_text.hpp"
#include "core/text/strip.hpp"

namespace molbrook::depict {
namespace {

void open_svg(std::string& out, const DepictOptions& options) {
  out.append("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"");
  append_integer(out, options.width);
  out.append("\" height=\"");
  append_integer(out, options.height);
  out.append("\" viewBox=\"0 0 ");
  append_integer(out, options.width);
  out.push_back(' ');
  append_integer(out, options.height);
  out.append("\"><rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>");
}

// The canvas with `problem` written across it, small enough to fit.
void placeholder(std::string& out, const DepictOptions& options, std::string_view problem, BlockText text) {
  const double size = std::clamp(options.width / (0.6 * static_cast<double>(std::max<size_t>(problem.size(), 1))),
                                 5.0, 12.0);
  out.append("<text x=\"");
  append_number(out, options.width / 2.0);
  out.append("\" y=\"");
  append_number(out, options.height / 2.0);
  out.append("\" font-family=\"sans-serif\" font-size=\"");
  append_number(out, size);
  out.append("\" fill=\"#888\" text-anchor=\"middle\" dominant-baseline=\"central\">");
  append_xml_text(out, problem, text);
  out.append("</text>");
}

}  // namespace

void Depicter::depict(const Block& block, BlockText text, const DepictOptions& options, std::string& out) {
  out.clear();
  open_svg(out, options);
  std::string_view mdl = block.mdl();
  if (is_blank(mdl)) {
    placeholder(out, options, "no connection table", text);
  } else if (CtabStatus error = reader_.read(block.title(), mdl, sketch_)) {
    placeholder(out, options, error->message(), text);
  } else if (auto problem = lay_out(sketch_, options.width, options.height, layout_)) {
    placeholder(out, options, *problem, text);
  } else {
    drawer_.draw(sketch_, layout_, {options.labels, text}, out);
  }
  out.append("</svg>");
}

}  // namespace molbrook::depict
