#include "app/widgets/GradientPainter.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

QColor ColorFromRef(uint32_t colorref) {
    return QColor(int(colorref & 0xFF), int((colorref >> 8) & 0xFF), int((colorref >> 16) & 0xFF));
}

uint32_t ColorToRef(const QColor& colour) {
    return uint32_t(colour.red()) | (uint32_t(colour.green()) << 8) |
           (uint32_t(colour.blue()) << 16);
}

std::vector<GradientBand> GradientBands(int length, const std::vector<QColor>& stops,
                                        const std::vector<double>& shares, int colourLimit) {
    std::vector<GradientBand> bands;
    if (length <= 0 || stops.empty()) {
        return bands;
    }
    if (stops.size() == 1) {
        bands.push_back({0, length, stops.front()});
        return bands;
    }
    const int gaps = int(stops.size()) - 1;
    double shareSum = 0.0;
    int gapBegin = 0;
    for (int g = 0; g < gaps; ++g) {
        shareSum += size_t(g) < shares.size() ? shares[size_t(g)] : 0.0;
        int gapEnd = g + 1 == gaps ? length : int(double(length) * shareSum / 100.0);
        gapEnd = std::clamp(gapEnd, gapBegin, length);
        const int gapLength = gapEnd - gapBegin;
        if (gapLength <= 0) {
            continue;
        }
        const QColor& from = stops[size_t(g)];
        const QColor& to = stops[size_t(g) + 1];
        const int dr = to.red() - from.red();
        const int dg = to.green() - from.green();
        const int db = to.blue() - from.blue();
        int count = std::max({std::abs(dr), std::abs(dg), std::abs(db)});
        count = std::min(count, gapLength);
        if (colourLimit > 0) {
            count = std::min(count, colourLimit / gaps);
        }
        count = std::max(count, 1);
        // The quotients are kept in single precision, as the bands were always laid out.
        const float bandLength = float(gapLength) / float(count);
        const float stepR = float(dr) / float(count);
        const float stepG = float(dg) / float(count);
        const float stepB = float(db) / float(count);
        for (int k = 0; k < count; ++k) {
            const int begin = gapBegin + int(bandLength * float(k));
            const int end = k + 1 == count ? gapEnd : gapBegin + int(bandLength * float(k + 1));
            if (end <= begin) {
                continue;
            }
            bands.push_back(
                {begin, end,
                 QColor(from.red() + int(stepR * float(k)), from.green() + int(stepG * float(k)),
                        from.blue() + int(stepB * float(k)))});
        }
        gapBegin = gapEnd;
    }
    return bands;
}

SnakeMove MoveSnake(int head, int tail, int length, int lower, int upper, bool relative,
                    int64_t amount) {
    length = std::max(length, 0);
    int64_t h;
    if (relative) {
        int64_t start = head;
        // At the end of the track the head stays put while the block slides out; its virtual
        // head is then tail + length.
        if (head == upper && int64_t(head) - tail < length) {
            start = int64_t(tail) + length;
        }
        h = start + (amount < 0 ? -amount : amount);
    } else {
        h = amount;
    }
    SnakeMove move;
    const int64_t outside = int64_t(upper) + length;
    if (h > outside) {
        move.flipped = true;
        h = std::min(outside, h + lower - length - upper);
    }
    move.tail = int(std::clamp<int64_t>(h - length, lower, std::max(lower, upper)));
    move.position = int(std::clamp<int64_t>(h, lower, upper));
    return move;
}

std::optional<std::pair<int, int>> BarExtent(int trackLength, uint32_t style, int position,
                                             int snakeTail, int lower, int upper) {
    if (upper <= lower || position < lower || position > upper || trackLength <= 0) {
        return std::nullopt;
    }
    const int64_t range = int64_t(upper) - lower;
    const int end = int(int64_t(trackLength) * (int64_t(position) - lower) / range);
    int begin = 0;
    if (style & PBS_SNAKE) {
        const int64_t tail = std::clamp<int64_t>(snakeTail, lower, position);
        begin = int(int64_t(trackLength) * (tail - lower) / range);
    }
    return std::make_pair(begin, end);
}

double ProgressTextValue(uint32_t style, int position, int lower, int upper) {
    switch (style & PBS_TEXT_MODE_MASK) {
        case PBS_SHOW_PERCENT:
            if (upper == lower) {
                return 0.0;
            }
            return 100.0 * (double(position) - lower) / (double(upper) - lower);
        case PBS_SHOW_POSITION:
            return position;
        default:
            return 0.0;
    }
}

QString FormatProgressText(const QString& format, int value) {
    QString out;
    const qsizetype n = format.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = format[i];
        if (c != u'%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < n && format[i + 1] == u'%') {
            out += u'%';
            i += 2;
            continue;
        }
        // Parse "%[flags][width][.precision][h|l|ll]conversion".
        qsizetype j = i + 1;
        std::string printfFormat = "%";
        while (j < n && QStringView(u"-+ 0#").contains(format[j])) {
            if (format[j] != u'#') {
                printfFormat += char(format[j].unicode());
            }
            ++j;
        }
        int width = 0;
        while (j < n && format[j].isDigit()) {
            width = std::min(width * 10 + format[j].digitValue(), 256);
            ++j;
        }
        int precision = -1;
        if (j < n && format[j] == u'.') {
            precision = 0;
            ++j;
            while (j < n && format[j].isDigit()) {
                precision = std::min(precision * 10 + format[j].digitValue(), 256);
                ++j;
            }
        }
        while (j < n && (format[j] == u'h' || format[j] == u'l')) {
            ++j;
        }
        const QChar conversion = j < n ? format[j] : QChar();
        if (conversion != u'd' && conversion != u'i' && conversion != u'u') {
            // Not a conversion of one integer: shown as written.
            out += format.mid(i, j - i);
            i = j;
            continue;
        }
        if (width > 0) {
            printfFormat += std::to_string(width);
        }
        if (precision >= 0) {
            printfFormat.append(".").append(std::to_string(precision));
        }
        char buffer[600];
        if (conversion == u'u') {
            printfFormat += 'u';
            std::snprintf(buffer, sizeof buffer, printfFormat.c_str(), unsigned(value));
        } else {
            printfFormat += 'd';
            std::snprintf(buffer, sizeof buffer, printfFormat.c_str(), value);
        }
        out += QString::fromLatin1(buffer);
        i = j + 1;
    }
    return out;
}

QString ProgressText(uint32_t style, const QString& customText, int position, int lower,
                     int upper) {
    const uint32_t mode = style & PBS_TEXT_MODE_MASK;
    if (mode == 0 || upper == lower) {
        return {};
    }
    const int value = int(ProgressTextValue(style, position, lower, upper));
    if (!customText.isEmpty()) {
        return FormatProgressText(customText, value);
    }
    if (mode == PBS_SHOW_PERCENT) {
        return FormatProgressText(QStringLiteral("%d%%"), value);
    }
    if (mode == PBS_SHOW_POSITION) {
        return FormatProgressText(QStringLiteral("%d"), value);
    }
    return {};
}

GradientPainter::GradientPainter(std::function<void()> invalidate)
    : m_invalidate(std::move(invalidate)) {
    QPalette palette;
    if (qGuiApp) {
        palette = QGuiApplication::palette();
    }
    const QColor caption =
        qGuiApp ? palette.color(QPalette::Active, QPalette::Highlight) : QColor(0, 84, 227);
    colourStops = {caption, caption};
    stopShares = {100.0};
    backgroundColour = qGuiApp ? palette.color(QPalette::Button) : QColor(240, 240, 240);
    barTextColour = qGuiApp ? palette.color(QPalette::HighlightedText) : QColor(Qt::white);
    trackTextColour = qGuiApp ? palette.color(QPalette::ButtonText) : QColor(Qt::black);
}

void GradientPainter::Invalidate() const {
    if (m_invalidate) {
        m_invalidate();
    }
}

void GradientPainter::SetColourStops(const std::vector<QColor>& colours) {
    if (colours.empty()) {
        return;
    }
    colourStops = colours;
    if (colourStops.size() == 1) {
        colourStops.push_back(colourStops.front());
    }
    const size_t gaps = colourStops.size() - 1;
    stopShares.assign(gaps, 100.0 / double(gaps));
    Invalidate();
}

void GradientPainter::StorePosition(int64_t p) {
    const int clamped = int(std::clamp<int64_t>(p, lower, upper));
    if (clamped != position) {
        position = clamped;
    }
}

void GradientPainter::SetRange(int a, int b) {
    lower = std::min(a, b);
    upper = std::max(a, b);
    StorePosition(position);
    Invalidate();
}

int GradientPainter::MoveTo(bool relative, int64_t amount) {
    const int previous = position;
    if (m_style & PBS_SNAKE) {
        const SnakeMove move =
            MoveSnake(position, snakeTail, snakeLength, lower, upper, relative, amount);
        if (move.flipped) {
            m_style ^= PBS_REVERSED;
        }
        snakeTail = move.tail;
        StorePosition(move.position);
    } else {
        StorePosition(relative ? int64_t(position) + amount : amount);
    }
    Invalidate();
    return previous;
}

int GradientPainter::SetPos(int p) {
    return MoveTo(false, p);
}

int GradientPainter::OffsetPos(int d) {
    return MoveTo(true, d);
}

int GradientPainter::StepIt() {
    return MoveTo(true, step);
}

int GradientPainter::SetStep(int s) {
    const int previous = step;
    step = s;
    Invalidate();
    return previous;
}

void GradientPainter::SetStyle(uint32_t style) {
    m_style = style;
    Invalidate();
}

void GradientPainter::ModifyStyle(uint32_t remove, uint32_t add) {
    SetStyle((m_style & ~remove) | add);
}

QRect GradientPainter::SpanRect(const QRect& client, int begin, int end) const {
    const bool vertical = m_style & PBS_VERTICAL;
    const bool reversed = m_style & PBS_REVERSED;
    const int extent = end - begin;
    if (vertical) {
        const int length = client.height();
        const int top = reversed ? client.top() + begin : client.top() + length - end;
        return QRect(client.left(), top, client.width(), extent);
    }
    const int length = client.width();
    const int left = reversed ? client.left() + length - end : client.left() + begin;
    return QRect(left, client.top(), extent, client.height());
}

QRect GradientPainter::BarRect(const QRect& client) const {
    const int length = (m_style & PBS_VERTICAL) ? client.height() : client.width();
    const auto extent = BarExtent(length, m_style, position, snakeTail, lower, upper);
    if (!extent || extent->second <= extent->first) {
        return {};
    }
    return SpanRect(client, extent->first, extent->second);
}

void GradientPainter::Paint(QPainter& painter, const QRect& client, int depth) const {
    if (backgroundColour.isValid()) {
        painter.fillRect(client, backgroundColour);
    }
    const int length = (m_style & PBS_VERTICAL) ? client.height() : client.width();
    const auto extent = BarExtent(length, m_style, position, snakeTail, lower, upper);
    QRect bar;
    if (extent && extent->second > extent->first) {
        bar = SpanRect(client, extent->first, extent->second);
        const bool onBar = m_style & PBS_GRADIENT_ON_BAR;
        const int spanBegin = onBar ? extent->first : 0;
        const int spanLength = onBar ? extent->second - extent->first : length;
        painter.save();
        painter.setClipRect(bar, Qt::IntersectClip);
        if (depth < 8 && !colourStops.empty()) {
            painter.fillRect(bar, colourStops.front());
        } else {
            for (const GradientBand& band : GradientBands(spanLength, colourStops, stopShares)) {
                painter.fillRect(SpanRect(client, spanBegin + band.begin, spanBegin + band.end),
                                 band.colour);
            }
        }
        painter.restore();
    }
    if (upper > lower) {
        PaintText(painter, client, bar);
    }
}

void GradientPainter::PaintText(QPainter& painter, const QRect& client, const QRect& bar) const {
    const QString text = ProgressText(m_style, customText, position, lower, upper);
    if (text.isEmpty()) {
        return;
    }
    const QRect area = (m_style & PBS_TEXT_FOLLOWS_BAR) && !bar.isEmpty() ? bar : client;
    int align = Qt::TextSingleLine | Qt::TextDontClip;
    align |= (m_style & PBS_TEXT_LEFT)    ? Qt::AlignLeft
             : (m_style & PBS_TEXT_RIGHT) ? Qt::AlignRight
                                          : Qt::AlignHCenter;
    align |= (m_style & PBS_TEXT_TOP)      ? Qt::AlignTop
             : (m_style & PBS_TEXT_BOTTOM) ? Qt::AlignBottom
                                           : Qt::AlignVCenter;
    const int rotation = (fontEscapement == 90 || fontEscapement == 180 || fontEscapement == 270)
                             ? fontEscapement
                             : 0;

    auto draw = [&](const QColor& colour, const QRect& clip) {
        painter.save();
        painter.setClipRect(clip, Qt::IntersectClip);
        if (font) {
            painter.setFont(*font);
        }
        painter.setPen(colour);
        if (rotation == 0) {
            painter.drawText(area, align, text);
        } else {
            // Escapement turns the text counter-clockwise about the middle of its area.
            const bool sideways = rotation != 180;
            const int w = sideways ? area.height() : area.width();
            const int h = sideways ? area.width() : area.height();
            painter.translate(QRectF(area).center());
            painter.rotate(-rotation);
            painter.drawText(QRect(-w / 2, -h / 2, w, h), align, text);
        }
        painter.restore();
    };
    draw(trackTextColour, client);
    if (barTextColour != trackTextColour && !bar.isEmpty()) {
        draw(barTextColour, bar);
    }
}
