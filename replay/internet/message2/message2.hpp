#pragma once
// The mail library's MIME message: an ordered list of raw header lines, one
// single-part body, an optional boundary with child parts, typed header
// values with encoded words for non-ASCII text, and the message's text lines
// as the SMTP client sends them after DATA.
//
// Charset conversions raise the replay::unicode errors; decoding a Q encoded
// word with a bad "=XX" escape raises replay::coding::translate::invalid_codeword.
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace replay::internet::message2 {

namespace header_type {

// A header value that knows how to write itself as header text and read
// itself back. Its charset names the encoding of non-ASCII text in encoded
// words, and of 8-bit text outside encoded words when parsing.
class generic_value_type {
public:
    virtual ~generic_value_type();

    // The header text after "name: ", on one line. Text with a character
    // above 127, or a control character other than tab (which would break
    // the header line), becomes one encoded word (B only when strictly
    // shorter than Q); raises unmappable_character when the charset cannot
    // hold it.
    virtual std::string serialize() const = 0;
    // Replaces the value by what the header text holds.
    virtual void parse(const std::string& text) = 0;

    const std::string& charset() const noexcept { return charset_; }
    void set_charset(const std::string& charset) { charset_ = charset; }

protected:
    generic_value_type() = default;
    generic_value_type(const generic_value_type&) = default;
    generic_value_type& operator=(const generic_value_type&) = default;

private:
    std::string charset_ = "iso-8859-1";
};

// Free text, such as a subject.
class unstructured_value_type : public generic_value_type {
public:
    unstructured_value_type() = default;
    explicit unstructured_value_type(const std::wstring& value) : value_(value) {}

    std::string serialize() const override;
    // Decodes the whole text: encoded words by their own charset, other words
    // by the value's charset, a malformed encoded word as Latin-1 text.
    void parse(const std::string& text) override;

    virtual const std::wstring& value() const { return value_; }
    // The value in a code page, strictly: raises unmappable_character.
    virtual std::string narrow_value(int code_page) const;
    virtual void set_value(const std::wstring& value);
    virtual void set_narrow_value(const std::string& text, int code_page);

private:
    std::wstring value_;
};

struct parameter {
    std::string name;
    std::wstring value;
};

// A main value followed by "; name=value" parameters, such as a content type.
class parametized_value_type : public unstructured_value_type {
public:
    using unstructured_value_type::unstructured_value_type;

    // Parameter values are always written quoted, with a backslash before
    // each double quote and backslash they hold.
    std::string serialize() const override;
    // Splits at ";" and "," outside quotes and encoded words, then each
    // parameter at "=": a name alone gives an empty value, a name and a value
    // give the decoded value, more parts are ignored.
    void parse(const std::string& text) override;

    const std::vector<parameter>& parameters() const noexcept { return parameters_; }
    // Replaces the value of the first parameter of that name (compared
    // without regard to ASCII case), else appends one. The value is UTF-8.
    void set_parameter(const std::string& name, const std::string& value);
    // Removes the first parameter of that name, if any.
    void remove_parameter(const std::string& name);

private:
    std::vector<parameter> parameters_;
};

}  // namespace header_type

struct body_part_type {
    std::string content_type = "text/plain";
    std::string charset = "iso-8859-1";
    // Set together by message::set_text.
    std::wstring text;
    std::string encoded_text;  // text in the body charset
};

class message {
public:
    using header = std::pair<std::string, std::string>;  // name, raw value

    // Starts with the headers Content-Transfer-Encoding "quoted-printable"
    // and Content-Type "text/plain" with charset "iso-8859-1", in this order.
    message();

    // Header names are compared without regard to ASCII case.

    // Inserts the header in front of all others; a header of the same name
    // stays.
    void set_header(const std::string& name, const std::string& value);
    // The same with the value serialised first; nothing is inserted when
    // serialising raises.
    void set_header(const std::string& name, const header_type::generic_value_type& value);
    // Removes every header of that name.
    void remove_header(const std::string& name);
    // Parses the first header of that name into `value`; false when there is
    // none (then `value` is unchanged).
    bool find_header(const std::string& name, header_type::generic_value_type& value) const;
    const std::vector<header>& headers() const noexcept { return headers_; }

    // Stores the text and its encoding in the body charset, converted
    // strictly: raises unmappable_character, and then changes nothing, when
    // the charset cannot hold the text. Setting the charset later does not
    // re-encode it.
    void set_text(const std::wstring& text);

    body_part_type body_part;
    std::string boundary;
    std::vector<message> child_parts;

private:
    std::vector<header> headers_;
};

// The message as text lines without line ends: the headers in list order
// (Content-Type rebuilt from the body part and the boundary), an empty line,
// the body in the transfer encoding that Content-Transfer-Encoding names
// ("base64", "quoted-printable", or else the text lines as they are), then
// the child parts. Leaves the message unchanged.
std::vector<std::string> to_lines(const message& mail);

using line_sink = std::function<void(const std::string&)>;
// The same lines handed to `take` one at a time, each made when it is
// handed: a large body is never held encoded as a whole.
void for_each_line(const message& mail, const line_sink& take);

}  // namespace replay::internet::message2
