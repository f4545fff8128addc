#include "replay/internet/message2/message2.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "replay/coding/coding.hpp"
#include "replay/unicode/unicode.hpp"

namespace {

namespace message2 = replay::internet::message2;
using message2::header_type::parametized_value_type;
using message2::header_type::unstructured_value_type;
using lines_t = std::vector<std::string>;

using parameters_t = std::vector<std::pair<std::string, std::wstring>>;
parameters_t parameters(const parametized_value_type& value) {
    parameters_t result;
    for (const auto& item : value.parameters()) result.emplace_back(item.name, item.value);
    return result;
}

// The lines after the first empty line.
lines_t body_lines(const message2::message& mail) {
    const lines_t lines = message2::to_lines(mail);
    auto at = lines.begin();
    while (at != lines.end() && !at->empty()) ++at;
    return at == lines.end() ? lines_t() : lines_t(at + 1, lines.end());
}

message2::message mail_with(const std::string& transfer_encoding, const std::string& body) {
    message2::message mail;
    mail.remove_header("Content-Transfer-Encoding");
    if (!transfer_encoding.empty()) mail.set_header("Content-Transfer-Encoding", transfer_encoding);
    mail.set_text(replay::unicode::to_wide(body, replay::unicode::latin1));
    return mail;
}

TEST(MessageHeaders, AddedHeadersGoToTheFront) {
    message2::message mail;
    mail.set_header("Subject", "s");
    mail.set_header("From", "<a@b>");
    mail.set_header("subject", "again");  // never replaces
    EXPECT_EQ(message2::to_lines(mail),
              (lines_t{"subject: again", "From: <a@b>", "Subject: s",
                       "Content-Transfer-Encoding: quoted-printable",
                       "Content-Type: text/plain; charset=\"iso-8859-1\"", ""}));
}

TEST(MessageHeaders, RemoveAndFindIgnoreCase) {
    message2::message mail;
    mail.set_header("X-Tag", "1");
    mail.set_header("x-tag", "2");
    mail.remove_header("X-TAG");
    mail.remove_header("content-transfer-encoding");
    EXPECT_EQ(message2::to_lines(mail), (lines_t{"Content-Type: text/plain; charset=\"iso-8859-1\"", ""}));

    parametized_value_type type;
    ASSERT_TRUE(mail.find_header("CONTENT-type", type));
    EXPECT_EQ(type.value(), L"text/plain");
    EXPECT_EQ(parameters(type), (parameters_t{{"charset", L"iso-8859-1"}}));
    unstructured_value_type untouched(L"kept");
    EXPECT_FALSE(mail.find_header("Content-Transfer-Encoding", untouched));
    EXPECT_EQ(untouched.value(), L"kept");
}

TEST(MessageLines, ContentTypeIsRebuiltFromTheBodyPart) {
    struct {
        std::string content_type, charset, boundary, stored, expected;
    } const cases[] = {
        {"text/plain", "utf-8", "", "text/plain; charset=\"iso-8859-1\"", "text/plain; charset=\"utf-8\""},
        {"text/plain", "", "", "text/plain; charset=\"iso-8859-1\"", "text/plain"},
        {"text/html", "utf-8", "", "x/y; format=flowed; CHARSET=old", "text/html; format=\"flowed\"; CHARSET=\"utf-8\""},
        {"application/octet-stream", "utf-8", "", "text/plain; charset=x", "application/octet-stream"},
        {"multipart/mixed", "utf-8", "b1", "text/plain", "multipart/mixed; boundary=\"b1\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content_type + "/" + c.charset);
        message2::message mail;
        mail.remove_header("Content-Type");
        mail.set_header("Content-Type", c.stored);
        mail.body_part.content_type = c.content_type;
        mail.body_part.charset = c.charset;
        mail.boundary = c.boundary;
        EXPECT_EQ(message2::to_lines(mail).at(0), "Content-Type: " + c.expected);
        EXPECT_EQ(mail.headers().at(0).second, c.stored);  // serialising changes nothing
    }
}

TEST(MessageLines, BodyLinesByTransferEncoding) {
    const std::string b57(57, 'a');
    std::string line76;  // 57 bytes "a" in base64
    for (int i = 0; i < 19; ++i) line76 += "YWFh";
    const std::string b76(76, 'b');
    struct {
        std::string encoding, body;
        lines_t expected;
    } const cases[] = {
        {"base64", b57, {line76}},
        {"base64", b57 + "a", {line76, "YQ=="}},
        {"quoted-printable", "x=y \xFC\r\n" + b76, {"x=3Dy =FC", std::string(75, 'b') + "=", "b"}},
        {"quoted-printable", std::string(75, 'c') + "\n", {std::string(75, 'c'), ""}},
        {"8bit", "a\r\nb\r\n", {"a", "b", ""}},
        {"8bit", "a\n\rb\r\rc\n\nd", {"a", "b", "", "c", "", "d"}},
        {"BASE64", "ab\r\n", {"ab", ""}},  // the encoding name is compared exactly
        {"", "ab", {"ab"}},  // no such header
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoding + ": " + c.body);
        EXPECT_EQ(body_lines(mail_with(c.encoding, c.body)), c.expected);
    }
    EXPECT_EQ(body_lines(message2::message()), lines_t{});
}

TEST(MessageLines, ChildPartsFollowTheBody) {
    message2::message mail = mail_with("8bit", "preamble");
    for (const char* text : {"one", "two"}) {
        mail.child_parts.push_back(mail_with("8bit", text));
        mail.child_parts.back().remove_header("Content-Type");
    }
    mail.body_part.content_type = "multipart/mixed";
    mail.boundary = "B";
    EXPECT_EQ(message2::to_lines(mail),
              (lines_t{"Content-Transfer-Encoding: 8bit", "Content-Type: multipart/mixed; boundary=\"B\"", "",
                       "preamble", "--B", "Content-Transfer-Encoding: 8bit", "", "one",
                       "--B", "Content-Transfer-Encoding: 8bit", "", "two", "--B--"}));

    // Outside multipart only the first child is written, without boundaries.
    mail.body_part.content_type = "text/plain";
    EXPECT_EQ(message2::to_lines(mail),
              (lines_t{"Content-Transfer-Encoding: 8bit",
                       "Content-Type: text/plain; charset=\"iso-8859-1\"; boundary=\"B\"", "",
                       "preamble", "Content-Transfer-Encoding: 8bit", "", "one"}));
}

TEST(MessageText, EncodedInTheBodyCharsetStrictly) {
    message2::message mail;
    mail.body_part.charset = "utf-8";
    mail.set_text(L"\u00FC");
    EXPECT_EQ(mail.body_part.encoded_text, "\xC3\xBC");
    mail.body_part.charset = "iso-8859-1";
    EXPECT_THROW(mail.set_text(L"a\u4E2D"), replay::unicode::unmappable_character);
    EXPECT_EQ(mail.body_part.text, L"\u00FC");
    EXPECT_EQ(mail.body_part.encoded_text, "\xC3\xBC");
}

TEST(HeaderValueSerialize, EncodedWordIsBOnlyWhenStrictlyShorter) {
    struct {
        std::string charset;
        std::wstring value;
        std::string expected;
    } const cases[] = {
        {"iso-8859-1", L"Plain text\tand tab", "Plain text\tand tab"},
        {"iso-8859-1", L"Gr\u00FCn", "=?iso-8859-1?Q?Gr=FCn?="},
        {"iso-8859-1", L"a\u00FC", "=?iso-8859-1?Q?a=FC?="},  // equal length: Q
        {"iso-8859-1", L"a\u00FCb", "=?iso-8859-1?B?Yfxi?="},
        {"iso-8859-1", L"Gr\u00FCne_Wiese? ja, klar", "=?iso-8859-1?Q?Gr=FCne=5FWiese=3F_ja,_klar?="},
        {"utf-8", L"\u4E2D", "=?utf-8?B?5Lit?="},
        {"iso-8859-1", L"a\r\nb", "=?iso-8859-1?Q?a=0D=0Ab?="},  // a line break cannot end the header
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        unstructured_value_type value(c.value);
        value.set_charset(c.charset);
        EXPECT_EQ(value.serialize(), c.expected);
    }
    EXPECT_THROW(unstructured_value_type(L"\u4E2D").serialize(), replay::unicode::unmappable_character);
}

TEST(HeaderValueSerialize, ParametersAreQuotedAndReadBack) {
    parametized_value_type value(L"attachment");
    value.set_parameter("name", "first");
    value.set_parameter("title", "\xC3\xBC;bc");  // UTF-8
    value.set_parameter("NAME", "C:\\a \"b\".txt");
    value.set_parameter("gone", "");
    value.remove_parameter("Gone");
    EXPECT_EQ(value.serialize(),
              "attachment; name=\"C:\\\\a \\\"b\\\".txt\"; title=\"=?iso-8859-1?Q?=FC;bc?=\"");

    // A Q word that begins with an escape and holds a delimiter.
    value.set_value(L"\u00FC, x");
    parametized_value_type back;
    back.parse(value.serialize());
    EXPECT_EQ(back.value(), value.value());
    EXPECT_EQ(parameters(back), parameters(value));
}

TEST(HeaderValueParse, UnstructuredDecodesWordByWord) {
    struct {
        std::string charset, text;
        std::wstring expected;
    } const cases[] = {
        {"iso-8859-1", " two  blanks caf\xE9 ", L" two  blanks caf\u00E9 "},
        {"iso-8859-1", "=?iso-8859-1?Q?Gr=FCne_Wiese?=", L"Gr\u00FCne Wiese"},
        {"iso-8859-1", "=?utf-8?B?5Lit?=  =?UTF-8?q?=E6=96=87?=", L"\u4E2D\u6587"},
        {"iso-8859-1", "a =?iso-8859-1?b?/A==?=  b", L"a \u00FC  b"},
        {"utf-8", "\xC3\xBC =?\xC3\xBC?= =?a?Q?b?c?=", L"\u00FC =?\u00C3\u00BC?= =?a?Q?b?c?="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        unstructured_value_type value(L"old");
        value.set_charset(c.charset);
        value.parse(c.text);
        EXPECT_EQ(value.value(), c.expected);
    }
    EXPECT_THROW(unstructured_value_type().parse("=?iso-8859-1?Q?=ZZ?="),
                 replay::coding::translate::invalid_codeword);
}

TEST(HeaderValueParse, ParametersWithQuotesBackslashesAndEncodedWords) {
    struct {
        std::string text;
        std::wstring main;
        parameters_t parameters;
    } const cases[] = {
        {"text/plain; charset=\"utf-8\"", L"text/plain", {{"charset", L"utf-8"}}},
        {"attachment; filename=\"a;b, c.txt\",size=3", L"attachment", {{"filename", L"a;b, c.txt"}, {"size", L"3"}}},
        {"x; n=\"say \\\"hi\\\" C:\\\\d\"", L"x", {{"n", L"say \"hi\" C:\\d"}}},
        {"x; n=\"=?iso-8859-1?Q?=FCber?=\"; m==?iso-8859-1?Q?=FC;b=3D?=", L"x",
         {{"n", L"\u00FCber"}, {"m", L"\u00FC;b="}}},
        {"x; flag; a=b=c;; , k=v", L"x", {{"flag", L""}, {"k", L"v"}}},
        {"", L"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        parametized_value_type value(L"old");
        value.set_parameter("old", "1");
        value.parse(c.text);
        EXPECT_EQ(value.value(), c.main);
        EXPECT_EQ(parameters(value), c.parameters);
    }
}

}  // namespace
