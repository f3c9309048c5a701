#include "publish/HtmlSettingsEdit.h"

#include <limits>

namespace kestrel {

HtmlSettingsForm HtmlFormFrom(const HtmlSettings& s) {
    HtmlSettingsForm form;
    form.templateIndex = s.Template;
    form.customSize = s.HTMLCustomSize != 0 ? 1 : 0;
    form.width = std::to_string(s.HTMLWidth);
    form.height = std::to_string(s.HTMLHeight);
    form.cateDisp = s.CateDisp != 0;
    form.title1 = s.Title1;
    form.link1 = s.Link1;
    form.title2 = s.Title2;
    form.link2 = s.Link2;
    form.email = s.Email;
    form.icq = s.ICQ;
    form.freemsg = s.Freemsg;
    return form;
}

std::optional<FieldError> ApplyHtmlSettingsForm(const HtmlSettingsForm& form, HtmlSettings& s) {
    // Widths and heights of any value are stored and used unchanged.
    constexpr int64_t lo = std::numeric_limits<int32_t>::min();
    constexpr int64_t hi = std::numeric_limits<int32_t>::max();
    int64_t width = 0;
    int64_t height = 0;
    if (auto e = CheckNumberField("htmlWidth", form.width, lo, hi, width))
        return e;
    if (auto e = CheckNumberField("htmlHeight", form.height, lo, hi, height))
        return e;
    for (auto e : {CheckTextField("title1", "リンクタイトル1", form.title1),
                   CheckTextField("link1", "リンクURL1", form.link1),
                   CheckTextField("title2", "リンクタイトル2", form.title2),
                   CheckTextField("link2", "リンクURL2", form.link2),
                   CheckTextField("email", "メールアドレス", form.email),
                   CheckTextField("icq", "ICQ/NetMeeting", form.icq),
                   CheckTextField("freemsg", "フリーコメント", form.freemsg)})
        if (e)
            return e;
    s.Template = form.templateIndex;
    s.HTMLCustomSize = form.customSize != 0 ? 1 : 0;
    s.HTMLWidth = static_cast<int32_t>(width);
    s.HTMLHeight = static_cast<int32_t>(height);
    s.CateDisp = form.cateDisp ? 1 : 0;
    s.Title1 = form.title1;
    s.Link1 = form.link1;
    s.Title2 = form.title2;
    s.Link2 = form.link2;
    s.Email = form.email;
    s.ICQ = form.icq;
    s.Freemsg = form.freemsg;
    return std::nullopt;
}

} // namespace kestrel
