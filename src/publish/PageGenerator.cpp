#include "publish/PageGenerator.h"

#include "model/HostChecks.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/RegularFile.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel {

namespace {

// Templates and the ICQ fragment are a few kilobytes; anything near this is no template.
constexpr size_t kMaxTemplateBytes = 4u << 20;

// Reads a whole template: only a regular file, never blocking on a pipe in its place.
// 0, or the errno of the failure.
int ReadWholeFile(const std::string& path, std::string& out) {
    return ReadRegularFile(path, out, kMaxTemplateBytes);
}

// Template text ends at its first zero byte.
void CutAtZeroByte(std::string& text) {
    if (auto zero = text.find('\0'); zero != std::string::npos)
        text.resize(zero);
}

struct SplitValue {
    std::string first, second;
};

// "a<>b" gives ("a", "b"); a value without "<>" gives itself twice.
SplitValue Split(const ByteText& text, const std::string& value) {
    size_t sep = text.Find(value, "<>");
    if (sep == std::string::npos)
        return {value, value};
    return {value.substr(0, sep), value.substr(sep + 2)};
}

bool AllAsciiDigits(const std::string& value) {
    for (char c : value)
        if (c < '0' || c > '9')
            return false;
    return !value.empty();
}

// The page address for the pages: the local host name stands in for an empty one.
std::string PageHost(const PageInputs& in) {
    return in.pageAddress.empty() ? in.hostName : in.pageAddress;
}

std::string Format(const char* pattern, const std::string& a) {
    std::string out = pattern;
    if (auto p = out.find("%s"); p != std::string::npos)
        out.replace(p, 2, a);
    return out;
}

std::string Format(const char* pattern, const std::string& a, const std::string& b) {
    std::string out = pattern;
    if (auto p = out.find("%s"); p != std::string::npos) {
        out.replace(p, 2, a);
        if (auto q = out.find("%s", p + a.size()); q != std::string::npos)
            out.replace(q, 2, b);
    }
    return out;
}

} // namespace

std::string UrlHost(const std::string& address) {
    in6_addr v6{};
    if (address.find(':') != std::string::npos && ::inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return "[" + address + "]";
    return address;
}

std::string PageAddress(const BasicSettings& basic, const std::string& publicAddress) {
    return !basic.GlobalIP.empty() && IsAcceptableAddress(basic.GlobalIP) ? basic.GlobalIP : publicAddress;
}

PageInputs MakePageInputs(const CServerSettings& server, const BasicSettings& basic, const HtmlSettings& html,
                          const UrlRegSettings& urlReg, const std::string& publicAddress,
                          const std::string& hostName, unsigned captureWidth, unsigned captureHeight) {
    PageInputs in;
    in.webRoot = server.strRoot;
    in.port = server.uPort;
    in.pageAddress = PageAddress(basic, publicAddress);
    in.hostName = hostName;
    in.picturePassword = !basic.PicturePassword().empty();
    in.captureWidth = static_cast<int>(captureWidth);
    in.captureHeight = static_cast<int>(captureHeight);
    in.html = html;
    in.userId = urlReg.UserID;
    in.cate = urlReg.Cate;
    in.title = urlReg.Title;
    in.description = urlReg.Description;
    return in;
}

std::string PageGenerator::MainTemplate(int choice, bool password) {
    switch (choice) {
    case 0:
        return password ? "js1_pass_t.html" : "js_t.html";
    case 2:
        return password ? "ja_ext_t.html" : "ja_t.html";
    case 3:
        return "ja_ext_t.html";
    default:
        return password ? "js1_ext_pass_t.html" : "js_ext_t.html";
    }
}

std::string PageGenerator::SecondTemplate(int choice, bool password) {
    if (!password || choice == 2 || choice == 3)
        return {};
    return choice == 0 ? "js2_pass_t.html" : "js2_ext_pass_t.html";
}

std::string PageGenerator::PictureUrl(const PageInputs& in) {
    return "http://" + UrlHost(PageHost(in)) + ":" + std::to_string(in.port) + "/frame.jpg";
}

std::string PageGenerator::DataLine(const PageInputs& in) {
    return in.pageAddress + "," + std::to_string(in.port) + "," + in.userId + "," + std::to_string(in.cate) +
           "," + in.title + "," + in.description + "\r\n";
}

void PageGenerator::GeneratePages(const PageInputs& in) {
    m_reportedTemplates.clear();
    const std::string root = in.webRoot.empty() || in.webRoot.back() == '/' ? in.webRoot : in.webRoot + "/";
    const std::string templates = root + kTemplatesFolderName + "/";
    const int choice = in.html.Template;
    const bool password = in.picturePassword;

    struct Row {
        std::string output, templ;
        PageMode mode;
    };
    std::vector<Row> rows = {
        {"index1.html", "ja_t.html", PageMode::Full},
        {"index2.html", "ja_ext_t.html", PageMode::Full},
        {"index3.html", "js_t.html", PageMode::Full},
        {"index4.html", "js_ext_t.html", PageMode::Full},
        {"index5.html", "js1_pass_t.html", PageMode::Full},
        {"index6.html", "js1_ext_pass_t.html", PageMode::Full},
        {"index.html", MainTemplate(choice, password), PageMode::Full},
    };
    if (std::string second = SecondTemplate(choice, password); !second.empty())
        rows.push_back({"sub.html", second, PageMode::Full});
    rows.push_back({"chattv.html", password ? "chat1_pass_t.html" : "chat_t.html", PageMode::Full});
    if (password)
        rows.push_back({"chatsub.html", "chat2_pass_t.html", PageMode::Limited});

    for (const Row& row : rows)
        GeneratePage(templates + row.templ, root + row.output, row.mode, in);

    WriteOutput(root + kDataFileName, DataLine(in));
}

bool PageGenerator::GeneratePage(const std::string& templatePath, const std::string& outputPath,
                                 PageMode mode, const PageInputs& in) {
    std::string page;
    // A missing template and one that cannot be read are reported alike, once per run.
    if (!IsExistingFile(templatePath) || ReadWholeFile(templatePath, page) != 0) {
        if (m_reportedTemplates.insert(templatePath).second)
            m_box.Show(Format(kMissingTemplateMessage, templatePath), "Kestrel", MessageIcon::Exclamation);
        return false;
    }
    CutAtZeroByte(page);

    m_text.ReplaceAll(page, "REALIPAPPLET", PictureUrl(in));
    if (mode == PageMode::Full) {
        int width = in.captureWidth, height = in.captureHeight;
        if (in.html.HTMLCustomSize == 1) {
            width = in.html.HTMLWidth;
            height = in.html.HTMLHeight;
        } else if (width <= 0 || height <= 0) {
            width = kFallbackPictureWidth;
            height = kFallbackPictureHeight;
        }
        m_text.ReplaceAll(page, "XPOINT", std::to_string(width));
        m_text.ReplaceAll(page, "YPOINT", std::to_string(height));
        SubstituteTags(page, in);
    }
    return WriteOutput(outputPath, page);
}

std::string PageGenerator::ReadIcqFragment(const PageInputs& in) const {
    std::string root = in.webRoot.empty() || in.webRoot.back() == '/' ? in.webRoot : in.webRoot + "/";
    std::string fragment;
    if (ReadWholeFile(root + kTemplatesFolderName + "/icqtemplate.txt", fragment) != 0)
        return {};
    CutAtZeroByte(fragment);
    return fragment;
}

void PageGenerator::SubstituteTags(std::string& page, const PageInputs& in) const {
    const HtmlSettings& h = in.html;
    int removed = 0;
    auto removeBlock = [&](const char* start, const char* end, std::initializer_list<const char*> tags) {
        m_text.RemoveSection(page, start, end);
        for (const char* tag : tags)
            m_text.ReplaceAll(page, tag, "");
        ++removed;
    };

    // 1. E-mail.
    if (!h.Email.empty()) {
        SplitValue v = Split(m_text, h.Email);
        m_text.ReplaceAll(page, "<KESTRELEMIAL>", Format("<A HREF=mailto:%s>%s</A>", v.first, v.second));
        m_text.ReplaceAll(page, "<KESTRELEMIALRAW>", v.first);
    } else {
        removeBlock("<!--Email Start-->", "<!--Email End-->", {"<KESTRELEMIAL>", "<KESTRELEMIALRAW>"});
    }

    // 2. ICQ or call address.
    if (!h.ICQ.empty()) {
        SplitValue v = Split(m_text, h.ICQ);
        if (v.first == "REALIP")
            v.first = PageHost(in);
        if (v.second == "REALIP")
            v.second = PageHost(in);
        std::string fragment = ReadIcqFragment(in);
        m_text.ReplaceAll(fragment, "<ICQUIN>", v.first);
        std::erase(fragment, '\n');
        if (AllAsciiDigits(h.ICQ))
            m_text.ReplaceAll(page, "<KESTRELICQ>", Format("ICQ UIN:%s %s", v.first, fragment));
        else
            m_text.ReplaceAll(page, "<KESTRELICQ>",
                              Format("Call <A HREF=callto:%s>%s</A>", v.first, v.second));
        m_text.ReplaceAll(page, "<KESTRELICQRAW>", v.first);
    } else {
        removeBlock("<!--ICQ Start-->", "<!--ICQ End-->", {"<KESTRELICQ>", "<KESTRELICQRAW>"});
    }

    // 3-4. The two links.
    auto link = [&](const std::string& title, const std::string& url, const char* tagLink,
                    const char* tagTitle, const char* tagUrl, const char* start, const char* end) {
        if (!title.empty() && !url.empty()) {
            m_text.ReplaceAll(page, tagLink, Format("<A HREF=%s>%s</A>", url, title));
            m_text.ReplaceAll(page, tagTitle, title);
            m_text.ReplaceAll(page, tagUrl, url);
        } else {
            removeBlock(start, end, {tagLink, tagTitle, tagUrl});
        }
    };
    link(h.Title1, h.Link1, "<KESTRELLINK1>", "<KESTRELLINKTITLE1>", "<KESTRELLINKURL1>",
         "<!--Link1 Start-->", "<!--Link1 End-->");
    link(h.Title2, h.Link2, "<KESTRELLINK2>", "<KESTRELLINKTITLE2>", "<KESTRELLINKURL2>",
         "<!--Link2 Start-->", "<!--Link2 End-->");

    // 5. Free comment.
    if (!h.Freemsg.empty())
        m_text.ReplaceAll(page, "<KESTRELMSG>", h.Freemsg);
    else
        removeBlock("<!--Comment Start-->", "<!--Comment End-->", {"<KESTRELMSG>"});

    // 6. Registration title and description.
    if (h.CateDisp == 1) {
        m_text.ReplaceAll(page, "<KESTRELTITLE>", in.title);
        m_text.ReplaceAll(page, "<KESTRELDESCRIPTION>", in.description);
    } else {
        m_text.RemoveSection(page, "<!--Title Start-->", "<!--Title End-->");
        removeBlock("<!--ThisSite Start-->", "<!--ThisSite End-->",
                    {"<KESTRELTITLE>", "<KESTRELDESCRIPTION>"});
    }

    // Nothing of the profile left: the whole profile goes.
    if (removed == 6)
        m_text.RemoveSection(page, "<!--ProFile Start-->", "<!--ProFile End-->");
}

bool PageGenerator::WriteOutput(const std::string& path, const std::string& content) {
    if (int err = WriteFileAtomically(path, content); err != 0) {
        m_box.Show(Format(kWriteFailedMessage, path, ErrorText(err)), "Kestrel", MessageIcon::Exclamation);
        return false;
    }
    return true;
}

} // namespace kestrel
