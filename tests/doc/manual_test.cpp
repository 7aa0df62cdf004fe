// The user manual where the program opens it, beside the executable: present,
// well-formed, self-contained (no script, nothing fetched from elsewhere), every
// link and image resolving inside its own folder, and the same as its source.
#include <gtest/gtest.h>

#include "support/temp_dir.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Problems = std::vector<std::string>;

constexpr std::uintmax_t kMaxImageBytes = 150 * 1024;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ':'; }

struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
};

struct Document {
    Problems problems;
    std::vector<Element> elements;  // every start tag, in order
    std::set<std::string> ids;
    std::vector<std::string> styleUrls;  // url(...) of style elements and attributes
};

// "&" must start a character reference: &name; &#38; &#x26;
void checkAmpersands(std::string_view text, const std::string& where, Document& doc) {
    for (std::size_t at = text.find('&'); at != std::string_view::npos; at = text.find('&', at + 1)) {
        std::size_t i = at + 1;
        bool hex = false;
        if (i < text.size() && text[i] == '#') {
            ++i;
            hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
            i += hex ? 1 : 0;
        }
        const std::size_t first = i;
        while (i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i]))
                                       : std::isalnum(static_cast<unsigned char>(text[i]))))
            ++i;
        if (i == first || i >= text.size() || text[i] != ';')
            doc.problems.push_back("bare '&' in " + where);
    }
}

void collectStyleUrls(std::string_view css, Document& doc) {
    const std::string text = lower(std::string(css));
    if (text.find("@import") != std::string::npos)
        doc.problems.push_back("@import in a style sheet");
    for (std::size_t at = text.find("url("); at != std::string::npos; at = text.find("url(", at + 4)) {
        const std::size_t end = text.find(')', at);
        std::string url(css.substr(at + 4, end == std::string::npos ? std::string_view::npos : end - at - 4));
        std::erase_if(url, [](char c) { return c == '"' || c == '\'' || isSpace(c); });
        doc.styleUrls.push_back(url);
    }
}

// A strict reading of HTML as we write it: every non-void element closed in
// order, attributes quoted or bare words, character references complete.
Document parseHtml(std::string_view html) {
    static const std::set<std::string> kVoid{"area", "base", "br",   "col",   "embed", "hr",  "img",
                                             "input", "link", "meta", "source", "track", "wbr"};
    Document doc;
    std::vector<std::string> open;
    std::size_t pos = 0;
    const auto problem = [&doc](std::string text) { doc.problems.push_back(std::move(text)); };
    while (pos < html.size()) {
        const std::size_t lt = html.find('<', pos);
        checkAmpersands(html.substr(pos, lt == std::string_view::npos ? lt : lt - pos), "text", doc);
        if (lt == std::string_view::npos)
            break;
        if (html.substr(lt, 4) == "<!--" || html.substr(lt, 2) == "<!") {
            const bool comment = html.substr(lt, 4) == "<!--";
            const std::size_t end = comment ? html.find("-->", lt + 4) : html.find('>', lt);
            if (end == std::string_view::npos) {
                problem(comment ? "unclosed comment" : "unterminated declaration");
                break;
            }
            pos = end + (comment ? 3 : 1);
            continue;
        }
        std::size_t i = lt + 1;
        const bool closing = i < html.size() && html[i] == '/';
        i += closing ? 1 : 0;
        const std::size_t nameStart = i;
        while (i < html.size() && isNameChar(html[i]))
            ++i;
        if (i == nameStart) {
            problem("stray '<' at offset " + std::to_string(lt));
            pos = lt + 1;
            continue;
        }
        Element element{lower(std::string(html.substr(nameStart, i - nameStart))), {}};
        bool terminated = false, selfClosed = false;
        while (i < html.size() && !terminated) {
            while (i < html.size() && isSpace(html[i]))
                ++i;
            if (i >= html.size())
                break;
            if (html[i] == '>' || html.substr(i, 2) == "/>") {
                selfClosed = html[i] == '/';
                i += selfClosed ? 2 : 1;
                terminated = true;
                break;
            }
            const std::size_t attributeStart = i;
            while (i < html.size() && !isSpace(html[i]) && html[i] != '=' && html[i] != '>' && html[i] != '/')
                ++i;
            if (i == attributeStart) {
                problem("unexpected character in <" + element.name + ">");
                ++i;
                continue;
            }
            const std::string attribute = lower(std::string(html.substr(attributeStart, i - attributeStart)));
            std::string value;
            while (i < html.size() && isSpace(html[i]))
                ++i;
            if (i < html.size() && html[i] == '=') {
                ++i;
                while (i < html.size() && isSpace(html[i]))
                    ++i;
                if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
                    const std::size_t end = html.find(html[i], i + 1);
                    if (end == std::string_view::npos) {
                        problem("unterminated value of " + attribute + " in <" + element.name + ">");
                        i = html.size();
                        break;
                    }
                    value = std::string(html.substr(i + 1, end - i - 1));
                    i = end + 1;
                    // A missing quote swallows the markup that follows.
                    if (value.find_first_of("<>") != std::string::npos)
                        problem("markup inside the value of " + attribute + " in <" + element.name + ">");
                } else {
                    const std::size_t start = i;
                    while (i < html.size() && !isSpace(html[i]) && html[i] != '>')
                        ++i;
                    value = std::string(html.substr(start, i - start));
                }
            }
            checkAmpersands(value, "attribute " + attribute, doc);
            if (closing)
                problem("attribute on </" + element.name + ">");
            if (!element.attributes.emplace(attribute, value).second)
                problem("attribute " + attribute + " twice in <" + element.name + ">");
        }
        if (!terminated) {
            problem("unterminated tag <" + element.name + ">");
            break;
        }
        pos = i;
        const std::string& name = element.name;
        if (closing) {
            if (!open.empty() && open.back() == name) {
                open.pop_back();
                continue;
            }
            problem("</" + name + "> closes <" + (open.empty() ? std::string("nothing") : open.back()) + ">");
            if (const auto at = std::find(open.rbegin(), open.rend(), name); at != open.rend())
                open.erase(std::prev(at.base()), open.end());
            continue;
        }
        if (const auto id = element.attributes.find("id"); id != element.attributes.end())
            if (id->second.empty() || !doc.ids.insert(id->second).second)
                problem("id '" + id->second + "' empty or used twice");
        if (const auto style = element.attributes.find("style"); style != element.attributes.end())
            collectStyleUrls(style->second, doc);
        doc.elements.push_back(element);
        if (kVoid.count(name))
            continue;
        if (selfClosed) {
            problem("<" + name + "/> does not close in HTML");
            continue;
        }
        if (name == "style" || name == "script") {
            const std::size_t end = lower(std::string(html.substr(pos))).find("</" + name);
            if (end == std::string::npos) {
                problem("<" + name + "> is never closed");
                break;
            }
            if (name == "style")
                collectStyleUrls(html.substr(pos, end), doc);
            pos += end;
        }
        open.push_back(name);
    }
    for (const std::string& name : open)
        doc.problems.push_back("<" + name + "> is never closed");
    return doc;
}

// Nothing runs and nothing is loaded from anywhere but the manual's folder.
Problems selfContainmentProblems(const Document& doc) {
    static const std::set<std::string> kForeign{"script", "iframe", "frame", "object", "embed",
                                                "applet", "link",   "base",  "form"};
    Problems problems;
    for (const Element& element : doc.elements) {
        if (kForeign.count(element.name))
            problems.push_back("<" + element.name + "> in a self-contained manual");
        for (const auto& [attribute, value] : element.attributes)
            if (attribute.rfind("on", 0) == 0)
                problems.push_back("event handler " + attribute + " on <" + element.name + ">");
        const auto equiv = element.attributes.find("http-equiv");
        if (element.name == "meta" && equiv != element.attributes.end() && lower(equiv->second) == "refresh")
            problems.push_back("meta refresh");
    }
    return problems;
}

// Every address the document holds: link targets, sources, style urls.
std::vector<std::string> addresses(const Document& doc) {
    static const std::set<std::string> kUrlAttributes{"href", "src",    "srcset", "action", "data",   "poster",
                                                      "cite", "background", "longdesc", "xlink:href", "ping"};
    std::vector<std::string> found = doc.styleUrls;
    for (const Element& element : doc.elements)
        for (const auto& [attribute, value] : element.attributes)
            if (kUrlAttributes.count(attribute))
                found.push_back(value);
    return found;
}

Problems linkProblems(const Document& doc, const fs::path& folder) {
    Problems problems;
    for (const std::string& address : addresses(doc)) {
        if (address.empty()) {
            problems.push_back("empty address");
            continue;
        }
        if (address.front() == '#') {
            if (!doc.ids.count(address.substr(1)))
                problems.push_back("no element with id for " + address);
            continue;
        }
        const std::string path = address.substr(0, address.find_first_of("#?"));
        const std::size_t colon = path.find(':');
        if (address.rfind("//", 0) == 0 || path.front() == '/' || path.front() == '\\' ||
            (colon != std::string::npos && path.find('/') > colon) || path.find('\\') != std::string::npos) {
            problems.push_back("points outside the manual's folder: " + address);
            continue;
        }
        const fs::path relative(path);
        if (std::any_of(relative.begin(), relative.end(), [](const fs::path& part) { return part == ".."; })) {
            problems.push_back("leaves the manual's folder: " + address);
            continue;
        }
        if (!fs::is_regular_file(folder / relative))
            problems.push_back("missing file: " + address);
    }
    return problems;
}

std::uint32_t bigEndian(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 4; ++k)
        value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
    return value;
}

// Images are small PNG files with a text alternative, and the size the page
// reserves for them is their own.
Problems imageProblems(const Document& doc, const fs::path& folder) {
    Problems problems;
    for (const Element& element : doc.elements) {
        if (element.name != "img")
            continue;
        const auto attribute = [&element](const char* name) {
            const auto found = element.attributes.find(name);
            return found == element.attributes.end() ? std::string() : found->second;
        };
        const std::string source = attribute("src");
        if (attribute("alt").empty())
            problems.push_back(source + ": no alt text");
        const fs::path file = folder / source;
        if (source.empty() || !fs::is_regular_file(file))
            continue;  // linkProblems reports it
        if (fs::file_size(file) > kMaxImageBytes)
            problems.push_back(source + ": larger than 150 KB");
        const std::string bytes = readFile(file);
        if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0) {
            problems.push_back(source + ": not a PNG file");
            continue;
        }
        const std::string width = attribute("width"), height = attribute("height");
        if ((!width.empty() && width != std::to_string(bigEndian(bytes, 16))) ||
            (!height.empty() && height != std::to_string(bigEndian(bytes, 20))))
            problems.push_back(source + ": width/height differ from the image's " +
                               std::to_string(bigEndian(bytes, 16)) + "x" + std::to_string(bigEndian(bytes, 20)));
    }
    return problems;
}

Problems allProblems(std::string_view html, const fs::path& folder) {
    const Document doc = parseHtml(html);
    Problems problems = doc.problems;
    for (Problems more : {selfContainmentProblems(doc), linkProblems(doc, folder), imageProblems(doc, folder)})
        problems.insert(problems.end(), more.begin(), more.end());
    return problems;
}

std::string joined(const Problems& problems) {
    std::string text;
    for (const std::string& problem : problems)
        text += "\n  " + problem;
    return text;
}

std::string pngHeader(std::uint32_t width, std::uint32_t height) {
    std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (const std::uint32_t value : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes += static_cast<char>((value >> shift) & 0xFF);
    return bytes + std::string("\x08\x00\x00\x00\x00", 5);
}

const fs::path kManual(TAVRO_MANUAL_PATH);
const fs::path kSourceFolder(TAVRO_MANUAL_SOURCE_DIR);

TEST(Manual, SitsBesideTheProgramWhereTheHelpMenuLooks) {
    ASSERT_TRUE(fs::is_regular_file(kManual)) << kManual;
    EXPECT_EQ(kManual.parent_path().filename().string(), "doc");
    const std::string html = readFile(kManual);
    EXPECT_EQ(lower(html.substr(0, 15)), "<!doctype html>");
    EXPECT_NE(html.find("<title>"), std::string::npos);
}

TEST(Manual, IsWellFormedSelfContainedAndEveryLinkAndImageResolves) {
    const std::string html = readFile(kManual);
    ASSERT_FALSE(html.empty()) << kManual;
    const Document doc = parseHtml(html);
    EXPECT_TRUE(doc.problems.empty()) << joined(doc.problems);
    EXPECT_TRUE(selfContainmentProblems(doc).empty()) << joined(selfContainmentProblems(doc));
    EXPECT_TRUE(linkProblems(doc, kManual.parent_path()).empty()) << joined(linkProblems(doc, kManual.parent_path()));
    EXPECT_TRUE(imageProblems(doc, kManual.parent_path()).empty())
        << joined(imageProblems(doc, kManual.parent_path()));
    for (const char* scheme : {"http:", "https:", "ftp:", "file:"})
        EXPECT_EQ(lower(html).find(scheme), std::string::npos) << scheme << " in the manual";

    // The table of contents reaches the sections, and the pictures are there.
    const auto count = [&doc](const std::string& name) {
        return std::count_if(doc.elements.begin(), doc.elements.end(),
                             [&name](const Element& element) { return element.name == name; });
    };
    EXPECT_GE(count("img"), 8);
    EXPECT_GE(count("h2"), 15);
    for (const char* section : {"quick-start", "parameters", "strains", "fracture", "files", "environment",
                                "limitations", "troubleshooting"})
        EXPECT_TRUE(doc.ids.count(section)) << section;
}

TEST(Manual, TheCopyBesideTheProgramIsTheSourceAsItIsNow) {
    const fs::path source = kSourceFolder / "Tavro2D_Documentation.html";
    ASSERT_TRUE(fs::is_regular_file(source)) << source;
    EXPECT_TRUE(readFile(source) == readFile(kManual)) << "the build copy of the manual is stale";
    ASSERT_TRUE(fs::is_directory(kSourceFolder / "images"));
    for (const fs::directory_entry& entry : fs::directory_iterator(kSourceFolder / "images")) {
        const fs::path copy = kManual.parent_path() / "images" / entry.path().filename();
        EXPECT_TRUE(fs::is_regular_file(copy)) << copy;
        EXPECT_TRUE(readFile(entry.path()) == readFile(copy)) << copy << " differs from its source";
    }
}

// Two statements users have acted on: which deformed images are read again
// before they are correlated (only those beyond the 2048-pixel preview), and
// that u_z is given where the points are after loading, not where Ux starts.
TEST(Manual, SaysWhatIsCorrelatedAndInWhichFrameTheOutOfPlaneMapIsGiven) {
    const std::string html = readFile(kManual);
    EXPECT_EQ(html.find("each deformed image keeps a preview and is read again from its file"), std::string::npos)
        << "small images are correlated from memory";
    EXPECT_NE(html.find("at most 2048 pixels is also kept in memory as it was read, and that copy is correlated"),
              std::string::npos);
    EXPECT_NE(html.find("h<sub>1</sub>(<em>x</em>) \u2212 h<sub>0</sub>(<em>X</em>)"), std::string::npos);
    EXPECT_NE(html.find("(<em>x</em> = <em>X</em> + u(<em>X</em>)"), std::string::npos);
}

TEST(ManualChecks, AcceptACorrectPageAndReportEachKindOfFault) {
    const tavro::testing::TempDir dir("tavro_manual");
    writeFile(dir.file("images/a.png"), pngHeader(40, 30));
    writeFile(dir.file("big.png"), pngHeader(10, 10) + std::string(kMaxImageBytes, '\0'));
    writeFile(dir.file("fake.png"), "GIF89a and more bytes than a header");
    writeFile(dir.file("other.html"), "<!DOCTYPE html>");
    const std::string head = "<!DOCTYPE html><html><head><title>t</title><style>p { color: red; }</style></head><body>";
    const std::string good = head +
                             "<h1 id=\"top\">A &amp; B &#8212;</h1><!-- a < comment --><p>See <a href=\"#top\">top</a>, "
                             "<a href=\"other.html#x\">other</a>.<br>"
                             "<img src=\"images/a.png\" alt=\"a\" width=\"40\" height=\"30\"></p></body></html>";
    EXPECT_TRUE(allProblems(good, dir.path()).empty()) << joined(allProblems(good, dir.path()));

    const std::vector<std::pair<std::string, std::string>> faults{
        {"anchor without target", "<a href=\"#nowhere\">x</a>"},
        {"web link", "<a href=\"https://example.org/\">x</a>"},
        {"protocol-relative", "<img src=\"//example.org/a.png\" alt=\"a\">"},
        {"absolute path", "<a href=\"/etc/passwd\">x</a>"},
        {"mail link", "<a href=\"mailto:someone\">x</a>"},
        {"parent folder", "<a href=\"../other.html\">x</a>"},
        {"missing file", "<a href=\"missing.html\">x</a>"},
        {"missing image", "<img src=\"images/b.png\" alt=\"b\">"},
        {"image without alt", "<img src=\"images/a.png\">"},
        {"wrong image size", "<img src=\"images/a.png\" alt=\"a\" width=\"30\" height=\"40\">"},
        {"oversized image", "<img src=\"big.png\" alt=\"big\">"},
        {"not a png", "<img src=\"fake.png\" alt=\"fake\">"},
        {"external style url", "<p style=\"background: url('http://example.org/x.png')\">x</p>"},
        {"script", "<script>alert(1)</script>"},
        {"event handler", "<p onclick=\"go()\">x</p>"},
        {"unclosed element", "<div><p>x</p>"},
        {"misnested elements", "<b><i>x</b></i>"},
        {"missing quote", "<a href=\"#top>x</a><p id=\"top\">y</p>"},
        {"bare ampersand", "<p>A & B</p>"},
        {"stray angle bracket", "<p>a < b</p>"},
        {"duplicate id", "<p id=\"x\">a</p><p id=\"x\">b</p>"},
        {"self-closed div", "<div/>"},
    };
    for (const auto& [what, body] : faults) {
        const std::string page = head + body + "</body></html>";
        EXPECT_FALSE(allProblems(page, dir.path()).empty()) << what << " was not reported";
    }
    EXPECT_FALSE(allProblems(head + "<p>x</p>", dir.path()).empty()) << "unclosed body and html";
    EXPECT_FALSE(allProblems(head + "<p title=\"x>y</p></body></html>", dir.path()).empty()) << "unterminated value";
}

}  // namespace
