#include "platform/plist/PlistXmlReader.h"

#include "platform/plist/PlistScalarText.h"

#include <libxml/parser.h>
#include <libxml/encoding.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <strings.h>
#include <utility>

namespace keldo {

namespace {

// --- where libxml2 2.9 is laxer than expat, and so than plistlib, looked at in the raw text ---

enum class Utf16 { No, LittleEndian, BigEndian };

// UTF-16 as XML parsers detect it: by byte order mark, or by the start of an XML declaration.
Utf16 utf16Of(std::string_view text) {
    if (text.starts_with("\xFF\xFE") || text.starts_with(std::string_view("<\0?\0", 4))) return Utf16::LittleEndian;
    if (text.starts_with("\xFE\xFF") || text.starts_with(std::string_view("\0<\0?", 4))) return Utf16::BigEndian;
    return Utf16::No;
}

// A NUL character is no XML character; libxml2 takes one after the root element as the end.
bool holdsNul(std::string_view text) {
    Utf16 utf16 = utf16Of(text);
    if (utf16 == Utf16::No) return text.find('\0') != std::string_view::npos;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == 0 && text[i + 1] == 0) return true;
    }
    return false;
}

// The text with UTF-16 narrowed to one byte per unit (ASCII kept, anything else '?', no byte
// order mark), enough to look at the markup of the prolog.
std::string asciiOf(std::string_view text) {
    Utf16 utf16 = utf16Of(text);
    if (utf16 == Utf16::No) return std::string(text);
    std::string narrow;
    narrow.reserve(text.size() / 2);
    std::size_t start = text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF") ? 2 : 0;
    for (std::size_t i = start; i + 1 < text.size(); i += 2) {
        char low = utf16 == Utf16::LittleEndian ? text[i] : text[i + 1];
        char high = utf16 == Utf16::LittleEndian ? text[i + 1] : text[i];
        narrow += high == 0 && static_cast<unsigned char>(low) < 0x80 ? low : '?';
    }
    return narrow;
}

// libxml2 takes "<!DOCTYPEplist"; expat wants white space after the keyword. Skips what may come
// before the declaration (byte order mark, XML declaration, comments, processing instructions,
// white space), all of which libxml2 has found well-formed.
bool doctypeKeywordSeparated(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    for (;;) {
        std::size_t start = text.find_first_not_of(kSpace);
        if (start == std::string_view::npos) return true;
        text.remove_prefix(start);
        if (text.starts_with("<!DOCTYPE")) return text.size() > 9 && kSpace.find(text[9]) != std::string_view::npos;
        std::string_view close = text.starts_with("<!--") ? "-->" : text.starts_with("<?") ? "?>" : "";
        std::size_t end = close.empty() ? std::string_view::npos : text.find(close, 2);
        if (end == std::string_view::npos) return true;
        text.remove_prefix(end + close.size());
    }
}

// The encodings that expat knows (single-byte ones under other names, which pyexpat adds, are
// refused here; libxml2 would take many more, some found without any declaration). A
// declaration must agree with text in UTF-16, which libxml2 would otherwise read regardless.
bool knownEncoding(const xmlChar* declaredName, const xmlCharEncodingHandler* decoder) {
    const char* declared = reinterpret_cast<const char*>(declaredName);
    auto is = [&](const char* name) { return declared && ::strcasecmp(declared, name) == 0; };
    if (!decoder) return !declared || is("UTF-8");
    if (decoder->name && ::strncasecmp(decoder->name, "UTF-16", 6) == 0) return !declared || is("UTF-16");
    return is("ISO-8859-1") || is("US-ASCII");
}

} // namespace

// libxml2's SAX callbacks. The SAX1 interface gives element names as written, without namespace
// processing, as plistlib's expat parser sees them: <x:string> is no <string>.
struct PlistXmlReaderEvents {
    // What each callback is given.
    struct Session {
        PlistXmlReader& reader;
        xmlParserCtxtPtr parser;
        std::string_view text;
    };
    static PlistXmlReader& reader(void* context) { return static_cast<Session*>(context)->reader; }
    static void stop(void* context) {
        reader(context).refuse();
        xmlStopParser(static_cast<Session*>(context)->parser);
    }

    static void startDocument(void* context) {
        xmlParserCtxtPtr parser = static_cast<Session*>(context)->parser;
        const xmlChar* declared = parser->encoding ? parser->encoding : parser->input->encoding;
        if (!knownEncoding(declared, parser->input->buf ? parser->input->buf->encoder : nullptr)) stop(context);
    }
    static void internalSubset(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
        if (!doctypeKeywordSeparated(asciiOf(static_cast<Session*>(context)->text))) stop(context);
    }
    static void startElement(void* context, const xmlChar* name, const xmlChar**) {
        PlistXmlReader& r = reader(context);
        r.startElement(reinterpret_cast<const char*>(name));
        if (r.failed_) stop(context);
    }
    static void endElement(void* context, const xmlChar* name) {
        PlistXmlReader& r = reader(context);
        r.endElement(reinterpret_cast<const char*>(name));
        if (r.failed_) stop(context);
    }
    static void characters(void* context, const xmlChar* text, int length) {
        reader(context).characters(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    }
    // plistlib refuses every entity declaration (the way to entity expansion attacks).
    static void entityDecl(void* context, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
        stop(context);
    }
    static void unparsedEntityDecl(void* context, const xmlChar*, const xmlChar*, const xmlChar*, const xmlChar*) {
        stop(context);
    }
    // Errors count through the parser's well-formedness; nothing is printed.
    static void quiet(void*, const char*, ...) {}

    static xmlSAXHandler handler() {
        xmlSAXHandler sax;
        std::memset(&sax, 0, sizeof sax);
        sax.initialized = 1;  // SAX1
        sax.startDocument = startDocument;
        sax.internalSubset = internalSubset;
        sax.startElement = startElement;
        sax.endElement = endElement;
        sax.characters = characters;
        sax.ignorableWhitespace = characters;
        sax.cdataBlock = characters;
        sax.entityDecl = entityDecl;
        sax.unparsedEntityDecl = unparsedEntityDecl;
        sax.warning = quiet;
        sax.error = quiet;
        sax.fatalError = quiet;
        return sax;
    }
};

namespace {

struct ParserDeleter {
    void operator()(xmlParserCtxtPtr parser) const {
        // An entity declaration makes the parser keep a document of its own, even in SAX mode.
        if (parser->myDoc) xmlFreeDoc(parser->myDoc);
        xmlFreeParserCtxt(parser);
    }
};
using Parser = std::unique_ptr<xmlParserCtxt, ParserDeleter>;

// Texts up to this length are copied out of the collecting buffer, which keeps its room.
constexpr std::size_t kCopiedText = 64;

} // namespace

PlistRef PlistXmlReader::read(const char* data, std::size_t size, int maxDepth) {
    if (!data || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return nullptr;
    if (holdsNul(std::string_view(data, size))) return nullptr;
    static std::once_flag initialized;
    std::call_once(initialized, xmlInitParser);
    Parser parser(xmlCreateMemoryParserCtxt(data, static_cast<int>(size)));
    if (!parser || !parser->sax) return nullptr;
    PlistXmlReader reader(maxDepth);
    PlistXmlReaderEvents::Session session{reader, parser.get(), std::string_view(data, size)};
    *parser->sax = PlistXmlReaderEvents::handler();
    parser->userData = &session;
    // The nesting bound is ours (libxml2's own bound of 256 elements counts the <plist> too);
    // the reply's size bounds everything else. Names follow XML 1.0 before its fifth edition,
    // as in expat. Nothing outside the text is ever loaded, and no entity is substituted,
    // whatever the library's process-wide defaults say.
    parser->options |= XML_PARSE_HUGE | XML_PARSE_OLD10 | XML_PARSE_NONET;
    parser->loadsubset = 0;
    parser->validate = 0;
    parser->replaceEntities = 0;
    xmlParseDocument(parser.get());
    if (!parser->wellFormed) return nullptr;
    return reader.result();
}

PlistXmlReader::PlistXmlReader(int maxDepth) : maxDepth_(maxDepth), root_(std::make_shared<PlistValue>()) {}

void PlistXmlReader::startElement(std::string_view name) {
    text_.clear();
    bool isDictionary = name == "dict";
    if (!isDictionary && name != "array") return;
    if (open_.size() >= static_cast<std::size_t>(maxDepth_)) return refuse();
    PlistValue* container = add(isDictionary ? PlistValue(PlistValue::Dictionary{}) : PlistValue(PlistValue::Array{}));
    if (container) open_.push_back(container);
}

void PlistXmlReader::endElement(std::string_view name) {
    // Ends of other elements carry nothing; the XML parser has matched every end to its start.
    if (name == "string") {
        add(PlistValue(takeText()));
    } else if (name == "key") {
        if ((key_ && !key_->empty()) || open_.empty() || !open_.back()->isDictionary()) return refuse();
        key_ = takeText();
    } else if (name == "dict") {
        if (key_ && !key_->empty()) return refuse();  // a key without a value
        if (!open_.empty()) open_.pop_back();
    } else if (name == "array") {
        if (!open_.empty()) open_.pop_back();
    } else if (name == "integer") {
        addScalar(PlistScalarText::integer(text_));
    } else if (name == "real") {
        addScalar(PlistScalarText::real(text_));
    } else if (name == "true" || name == "false") {
        add(PlistValue(name == "true"));
    } else if (name == "date") {
        addScalar(PlistScalarText::date(text_));
    } else if (name == "data") {
        addScalar(PlistScalarText::data(text_));
    }
}

PlistValue* PlistXmlReader::add(PlistValue&& value) {
    if (key_) {
        PlistValue::Dictionary* dictionary = open_.empty() ? nullptr : open_.back()->dictionary();
        if (!dictionary) return refuse(), nullptr;
        auto placed = dictionary->insert_or_assign(std::move(*key_), std::move(value)).first;
        key_.reset();
        return &placed->second;
    }
    if (open_.empty()) {
        *root_ = std::move(value);
        hasRoot_ = true;
        return root_.get();
    }
    PlistValue::Array* array = open_.back()->array();
    if (!array) return refuse(), nullptr;
    return &array->emplace_back(std::move(value));
}

void PlistXmlReader::addScalar(std::optional<PlistValue>&& value) {
    text_.clear();
    if (!value) return refuse();
    add(std::move(*value));
}

std::string PlistXmlReader::takeText() {
    if (text_.size() <= kCopiedText || text_.capacity() > 2 * text_.size()) {
        std::string copy(text_);
        text_.clear();
        return copy;
    }
    return std::exchange(text_, std::string());
}

PlistRef PlistXmlReader::result() {
    // A document with no value element is no value of ours.
    if (failed_ || !hasRoot_) return nullptr;
    return std::move(root_);
}

} // namespace keldo
