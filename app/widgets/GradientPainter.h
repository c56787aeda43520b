#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <vector>

class QPainter;

// Style bits of a GradientProgress (the control's window style).
constexpr uint32_t PBS_SMOOTH = 0x0001;            // smooth bar
constexpr uint32_t PBS_VERTICAL = 0x0004;          // the bar grows from the bottom
constexpr uint32_t PBS_TEXT_LEFT = 0x0010;         // text alignment (none set: centred)
constexpr uint32_t PBS_TEXT_RIGHT = 0x0020;        //
constexpr uint32_t PBS_TEXT_TOP = 0x0040;          //
constexpr uint32_t PBS_TEXT_BOTTOM = 0x0080;       //
constexpr uint32_t PBS_SHOW_PERCENT = 0x0100;      // text mode: "%d%%" of the percentage
constexpr uint32_t PBS_SHOW_POSITION = 0x0200;     // text mode: "%d" of the position
constexpr uint32_t PBS_SHOW_TEXT_ONLY = 0x0300;    // both: only customText, value 0
constexpr uint32_t PBS_TEXT_FOLLOWS_BAR = 0x1000;  // align the text within the filled part
constexpr uint32_t PBS_GRADIENT_ON_BAR = 0x2000;   // the gradient spans the filled part only
constexpr uint32_t PBS_REVERSED = 0x4000;          // grows from the right (top when vertical)
constexpr uint32_t PBS_SNAKE = 0x8000;             // a block of fixed length slides back and forth
constexpr uint32_t PBS_TEXT_MODE_MASK = 0x0300;

// Colours given as Windows COLORREF values (red in the low byte, then green, then blue).
QColor ColorFromRef(uint32_t colorref);
uint32_t ColorToRef(const QColor& colour);

// One band of a gradient: pixels [begin, end) of the span, filled with one colour.
struct GradientBand {
    int begin = 0;
    int end = 0;
    QColor colour;
};

// Cuts a gradient over `length` pixels into solid bands. `stops` holds two or more colours and
// `shares` one percentage per gap between neighbouring stops. Each gap is cut into as many bands
// as the largest channel difference of its two stops, but no more than it has pixels and no more
// than colourLimit / gaps (colourLimit 0: no limit), and at least one.
std::vector<GradientBand> GradientBands(int length, const std::vector<QColor>& stops,
                                        const std::vector<double>& shares, int colourLimit = 0);

// The outcome of one move of the snake.
struct SnakeMove {
    int position = 0;      // the new head, clamped to upper
    int tail = 0;          // the new tail
    bool flipped = false;  // the block has left the track: the reversed bit toggles
};

// Moves the snake: by `amount` relative to its head (relative) or to `amount` (absolute). While
// the block slides out past `upper` its virtual head is tail + length; once that passes
// upper + length the block turns round and comes back in from the other side.
SnakeMove MoveSnake(int head, int tail, int length, int lower, int upper, bool relative,
                    int64_t amount);

// The bar's extent along the track, in pixels measured from the side it grows from:
// [begin, end). Empty when the range has no width or the position lies outside it.
std::optional<std::pair<int, int>> BarExtent(int trackLength, uint32_t style, int position,
                                             int snakeTail, int lower, int upper);

// The number the text shows: the percentage (PBS_SHOW_PERCENT), the position
// (PBS_SHOW_POSITION), or 0 (both or neither). Zero-width ranges give 0.
double ProgressTextValue(uint32_t style, int position, int lower, int upper);

// Expands a printf-like format with one integer: "%d" and "%i" (with the flags "-+ 0" and a
// width) take the value, "%%" gives a percent sign; any other conversion is copied as it is, so
// a stray "%s" or "%n" in a user's text can never read or write memory.
QString FormatProgressText(const QString& format, int value);

// The text the control shows, or an empty text when it shows none.
QString ProgressText(uint32_t style, const QString& customText, int position, int lower, int upper);

// The painter of a GradientProgress: range, position, snake state, colours, text and style.
// It keeps no widget; `invalidate` is called after every change that alters the picture.
class GradientPainter {
  public:
    explicit GradientPainter(std::function<void()> invalidate = {});

    std::vector<QColor> colourStops;
    std::vector<double> stopShares;
    QColor backgroundColour;  // invalid: leave the track unpainted
    QColor barTextColour;
    QColor trackTextColour;
    int snakeTail = 0;
    int snakeLength = 40;
    int step = 10;
    int lower = 0;
    int upper = 100;
    QString customText;
    std::optional<QFont> font;
    int fontEscapement = 0;  // text rotation in degrees: 0, 90, 180 or 270
    int position = 0;

    // Two or more colours spread evenly over the bar. One colour fills the bar plainly; an empty
    // list is ignored.
    void SetColourStops(const std::vector<QColor>& colours);
    void SetColourStops(std::initializer_list<QColor> colours) {
        SetColourStops(std::vector<QColor>(colours));
    }

    void SetRange(int a, int b);
    int SetPos(int p);     // returns the previous position
    int OffsetPos(int d);  // returns the previous position
    int SetStep(int s);    // returns the previous step
    int StepIt();          // returns the previous position

    uint32_t GetStyle() const { return m_style; }
    void SetStyle(uint32_t style);
    void ModifyStyle(uint32_t remove, uint32_t add);

    // Paints the whole control into `client`. `depth` is the device's bits per pixel.
    void Paint(QPainter& painter, const QRect& client, int depth) const;

    // The bar's rectangle inside `client`, or an empty one when no bar is drawn.
    QRect BarRect(const QRect& client) const;

    void Invalidate() const;

  private:
    void StorePosition(int64_t p);
    int MoveTo(bool relative, int64_t amount);
    QRect SpanRect(const QRect& client, int begin, int end) const;
    void PaintText(QPainter& painter, const QRect& client, const QRect& bar) const;

    uint32_t m_style = 0;
    std::function<void()> m_invalidate;
};
