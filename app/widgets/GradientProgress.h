#pragma once

#include <QBasicTimer>
#include <QWidget>

#include <cstdint>
#include <map>
#include <optional>

#include "app/widgets/GradientPainter.h"

// The {low, high} record that GetRange fills.
struct PBRANGE {
    int iLow = 0;
    int iHigh = 0;
};

// The result of the colour calls: "the default colour".
constexpr uint32_t CLR_DEFAULT = 0xFF000000u;

// A progress bar that paints itself: a track, a bar filled with a gradient through two or more
// colours, optional text in two colours, and a snake mode in which a block slides back and forth
// for waits of open length. Its methods are the progress-bar operations, so code written for a
// plain progress bar drives it too. It runs no timer of its own: the owner starts timer 11
// (kStepTimer) with SetTimer to animate it and kills it when done.
class GradientProgress : public QWidget {
    Q_OBJECT

  public:
    static constexpr unsigned kStepTimer = 11;

    explicit GradientProgress(QWidget* parent = nullptr, uint32_t style = 0);
    ~GradientProgress() override;

    GradientPainter& Painter() { return m_painter; }
    const GradientPainter& Painter() const { return m_painter; }

    // Range; the results hold the previous range, upper in the high word, lower in the low word.
    uint32_t SetRange(uint16_t low, uint16_t high);
    uint32_t SetRange32(int low, int high);
    // Fills `range` when given; returns lower when wantLower, else upper.
    int GetRange(bool wantLower, PBRANGE* range = nullptr) const;

    int SetPos(int position);  // these four return the previous position
    int DeltaPos(int delta);
    int StepIt();
    int GetPos() const { return m_painter.position; }
    int SetStep(int step);  // returns the previous step

    // Two stops: `colour`, then `second` (invalid: `colour` again).
    uint32_t SetBarColor(const QColor& colour, const QColor& second = QColor());
    // The track colour; an invalid colour leaves the track unpainted.
    uint32_t SetBkColor(const QColor& colour);

    // The custom text (a format with one integer, see FormatProgressText).
    bool SetWindowText(const QString& text);
    QString GetWindowText() const { return m_painter.customText; }
    // Copies the text as UTF-8 into `buffer`, at most size - 1 bytes and a terminating NUL;
    // returns the number of bytes copied without the NUL.
    int GetWindowText(char* buffer, int size) const;
    int GetWindowTextLength() const;

    void SetFont(const std::optional<QFont>& font, bool redraw);
    std::optional<QFont> GetFont() const { return m_painter.font; }

    uint32_t GetStyle() const { return m_painter.GetStyle(); }
    void ModifyStyle(uint32_t remove, uint32_t add) { m_painter.ModifyStyle(remove, add); }

    // Window timers by id; timer kStepTimer steps the bar on every tick.
    void SetTimer(unsigned id, int milliseconds);
    void KillTimer(unsigned id);
    bool IsTimerRunning(unsigned id) const;
    void OnTimer(unsigned id);

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

  private:
    uint32_t PackRange() const;

    GradientPainter m_painter;
    std::map<unsigned, QBasicTimer> m_timers;
};
