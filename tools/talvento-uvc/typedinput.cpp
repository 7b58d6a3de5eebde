#include "tools/talvento-uvc/typedinput.h"

#include "camera/uvc/uvcbytes.h"

#include <QRegularExpression>
#include <QStringList>

#include <charconv>
#include <limits>

namespace {

using Code = UVCTypeComponentType;

bool isSigned(Code code)
{
    return code == Code::Signed8 || code == Code::Signed16 || code == Code::Signed32
        || code == Code::Signed64;
}

// The values a field of this component type can carry (unsigned 64-bit ones up to the largest
// signed value: no control of the table is that wide).
std::pair<int64_t, int64_t> typeRange(Code code)
{
    if (code == Code::Boolean)
        return { 0, 1 };
    const size_t bits = UVCTypeComponentByteSize(uint32_t(code)) * 8;
    if (bits >= 64)
        return { isSigned(code) ? std::numeric_limits<int64_t>::min() : 0,
            std::numeric_limits<int64_t>::max() };
    if (isSigned(code))
        return { -(int64_t(1) << (bits - 1)), (int64_t(1) << (bits - 1)) - 1 };
    return { 0, (int64_t(1) << bits) - 1 };
}

// A whole number in decimal (leading zeros are still decimal) or with a 0x prefix; nothing for
// anything else or for a number beyond 64 bits.
std::optional<int64_t> parseInteger(const QString &text)
{
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    static const QRegularExpression hexadecimal(QStringLiteral("^0[xX][0-9a-fA-F]+$"));
    const bool isHex = hexadecimal.match(text).hasMatch();
    if (!isHex && !decimal.match(text).hasMatch())
        return std::nullopt;
    const std::string digits = (isHex ? text.mid(2) : text).toStdString();
    const char *first = digits.data() + (digits[0] == '+' ? 1 : 0);
    const char *last = digits.data() + digits.size();
    int64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value, isHex ? 16 : 10);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return value;
}

// One field's text: the scanner's form of it and the integer typed, or the reason it is refused.
bool checkComponent(const QString &typed, Code code, std::string &out,
    std::optional<int64_t> &number, QString &error)
{
    const QString text = typed.trimmed();
    const QString lower = text.toLower();
    if (lower == QLatin1String("default") || lower == QLatin1String("minimum")
        || lower == QLatin1String("maximum")) {
        out = lower.toStdString();
        return true;
    }
    if (code == Code::Boolean) {
        static const QStringList yes { "true", "yes", "on", "1" };
        static const QStringList no { "false", "no", "off", "0" };
        if (yes.contains(lower) || no.contains(lower)) {
            out = yes.contains(lower) ? "true" : "false";
            number = yes.contains(lower) ? 1 : 0;
            return true;
        }
        error = QStringLiteral("\"%1\" is not a boolean (use true/false, yes/no, on/off or 1/0)")
                    .arg(text);
        return false;
    }
    static const QRegularExpression fraction(QStringLiteral("^[0-9]*\\.[0-9]+$"));
    if (fraction.match(text).hasMatch()) {
        if (text.toDouble() > 1.0) {
            error = QStringLiteral("a fraction of the range goes from 0 to 1");
            return false;
        }
        out = text.toStdString();
        return true;
    }
    const std::optional<int64_t> value = parseInteger(text);
    if (!value) {
        error = QStringLiteral("\"%1\" is not a whole number").arg(text);
        return false;
    }
    const auto [low, high] = typeRange(code);
    out = std::to_string(std::clamp(*value, low, high));
    number = value;
    return true;
}

} // namespace

TypedInput TypedInput::check(const UVCType &type, const QString &text)
{
    TypedInput input;
    const size_t count = type.fieldCount();
    input.typedNumbers.assign(count, std::nullopt);
    const QString trimmed = text.trimmed();
    if (!trimmed.startsWith(QLatin1Char('{'))) {
        const QString lower = trimmed.toLower();
        if (count == 1)
            checkComponent(text, type.fieldTypeAtIndex(0), input.scannerText, input.typedNumbers[0],
                input.error);
        else if (lower == QLatin1String("default") || lower == QLatin1String("minimum")
            || lower == QLatin1String("maximum"))
            input.scannerText = lower.toStdString();
        else
            input.error = QStringLiteral("this control takes a record such as {name=value,...}");
        return input;
    }
    if (!trimmed.endsWith(QLatin1Char('}'))) {
        input.error = QStringLiteral("the record has no closing brace");
        return input;
    }
    const QStringList parts = trimmed.mid(1, trimmed.size() - 2).split(QLatin1Char(','));
    const bool named = trimmed.contains(QLatin1Char('='));
    if (parts.size() != qsizetype(count)) {
        input.error = QStringLiteral("the record needs %1 values").arg(count);
        return input;
    }
    std::vector<std::string> fields(count);
    std::vector<bool> given(count, false);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        size_t field = size_t(i);
        QString valueText = parts[i];
        if (named) {
            const qsizetype equals = parts[i].indexOf(QLatin1Char('='));
            const QString name = parts[i].left(equals).trimmed();
            const long index = type.indexOfFieldWithName(name.toUtf8().constData());
            if (equals < 0 || index < 0 || given[size_t(index)]) {
                input.error = QStringLiteral("\"%1\" is not a field of this control, or is given "
                                             "twice")
                                  .arg(name);
                return input;
            }
            field = size_t(index);
            valueText = parts[i].mid(equals + 1);
        }
        given[field] = true;
        if (!checkComponent(valueText, type.fieldTypeAtIndex(field), fields[field],
                input.typedNumbers[field], input.error))
            return input;
    }
    if (count == 1) {
        input.scannerText = fields[0];
        return input;
    }
    input.scannerText = "{";
    for (size_t i = 0; i < count; ++i)
        input.scannerText
            += (i ? "," : "") + std::string(type.fieldNameAtIndex(i)) + "=" + fields[i];
    input.scannerText += "}";
    return input;
}

int64_t fieldInteger(const UVCType &type, const uint8_t *buffer, size_t field)
{
    const Code code = type.fieldTypeAtIndex(field);
    return uvcReadLittleEndian(buffer + type.offsetToFieldAtIndex(field),
        UVCTypeComponentByteSize(uint32_t(code)), isSigned(code));
}
