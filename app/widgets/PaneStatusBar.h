#pragma once

#include <QBasicTimer>
#include <QColor>
#include <QEvent>
#include <QFont>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class GradientProgress;
class PaneStatusBar;

// Pane ids and framework pane styles of the status bar.
constexpr unsigned ID_SEPARATOR = 0;
constexpr int AFX_IDW_STATUS_BAR = 0xE801;
constexpr uint32_t SBPS_NORMAL = 0x00000000;
constexpr uint32_t SBPS_NOBORDERS = 0x00000100;
constexpr uint32_t SBPS_POPOUT = 0x00000200;
constexpr uint32_t SBPS_DISABLED = 0x04000000;
constexpr uint32_t SBPS_STRETCH = 0x08000000;

// Text drawing flags (the low 20 bits of PaneStyle::flags).
constexpr uint32_t DT_LEFT = 0x0000;
constexpr uint32_t DT_TOP = 0x0000;
constexpr uint32_t DT_CENTER = 0x0001;
constexpr uint32_t DT_RIGHT = 0x0002;
constexpr uint32_t DT_VCENTER = 0x0004;
constexpr uint32_t DT_BOTTOM = 0x0008;
constexpr uint32_t DT_WORDBREAK = 0x0010;
constexpr uint32_t DT_SINGLELINE = 0x0020;
constexpr uint32_t DT_EXPANDTABS = 0x0040;
constexpr uint32_t DT_NOCLIP = 0x0100;
constexpr uint32_t DT_NOPREFIX = 0x0800;
constexpr uint32_t DT_PATH_ELLIPSIS = 0x4000;
constexpr uint32_t DT_END_ELLIPSIS = 0x8000;
constexpr uint32_t DT_WORD_ELLIPSIS = 0x40000;

// Kind and behaviour bits of PaneStyle::flags.
constexpr uint32_t PSF_DRAW_MASK = 0x000FFFFF;  // DT_* flags; for bitmaps 1, 2, 4, 8 align
constexpr uint32_t PSF_TEXT = 0x00100000;       // text pane
constexpr uint32_t PSF_TEXT2 = 0x00200000;      // text pane as well
constexpr uint32_t PSF_BITMAP = 0x00400000;     // bitmap pane
constexpr uint32_t PSF_CONTROL = 0x00800000;    // hosts a GradientProgress
constexpr uint32_t PSF_HSCROLL = 0x01000000;    // scroll horizontally
constexpr uint32_t PSF_VSCROLL = 0x02000000;    // scroll vertically
constexpr uint32_t PSF_ANIMATED = 0x0F000000;   // any of these keeps the scroll timer running
constexpr uint32_t PSF_REPEAT = 0x10000000;     // tile the text (plus two spaces) or bitmap
constexpr uint32_t PSF_STRETCH = 0x20000000;    // stretch the bitmap over the pane
constexpr uint32_t PSF_SMOOTH = 0x40000000;     // the hosted control gets the smooth style

// The look of one status-bar pane. Copying copies everything but the hosted control: the
// destination's own control is destroyed and it holds none afterwards.
class PaneStyle {
  public:
    PaneStyle();
    PaneStyle(const PaneStyle& other);
    PaneStyle& operator=(const PaneStyle& other);
    virtual ~PaneStyle();

    // Stores `flags`. Without PSF_CONTROL any hosted control is destroyed; with it and no
    // control yet, a GradientProgress is created on the bar (smooth with PSF_SMOOTH).
    void SetFlags(uint32_t newFlags);

    // The hosted control of a control pane, or nullptr.
    GradientProgress* control() const;

    QColor disabledTextColour;
    QColor textColour;
    QColor disabledBackColour;
    QColor backColour;
    QString disabledText;
    QString text;  // for a bitmap pane: the image's file or resource name
    QFont font;
    uint32_t flags = PSF_TEXT;
    int scrollX = 0;
    int scrollY = 0;

  private:
    friend class PaneStatusBar;
    void DestroyControl();

    QPointer<GradientProgress> m_control;
    QPointer<PaneStatusBar> m_bar;  // the bar this pane belongs to, if any
};

// The next scroll offset after a paint: one pixel further, or, once the content (of extent
// `contentExtent`) has fully left the pane, minus the pane's extent so that it comes back in
// from the far edge.
int NextScrollOffset(int offset, int contentExtent, int paneExtent);

// Maps the DT_* drawing flags to Qt's text flags.
int DrawTextFlagsToQt(uint32_t drawFlags);

// A status bar that paints its panes itself: each pane has its own colours, font and kind (text,
// bitmap or a hosted GradientProgress), text and bitmaps may scroll or repeat, and a pane's look
// can be saved and restored. Mouse messages are passed on to the owner through mouseMessage.
class PaneStatusBar : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kScrollTimerId = 20000;
    static constexpr int kScrollPeriodMs = 100;

    explicit PaneStatusBar(QWidget* parent = nullptr);
    ~PaneStatusBar() override;

    // Creates the bar on `owner` (which also receives the mouse messages), sets the indicators
    // and gives pane 0 the framework pane style `firstPaneStyle`. On failure shows "Unable to
    // create Statusbar." and returns false.
    bool Create(QWidget* owner, const unsigned* indicatorIds, int count, uint32_t firstPaneStyle);

    // Sets the panes; every PaneStyle goes back to its defaults. Pane texts are the indicator
    // texts (IndicatorText) and non-separator panes start as wide as their text.
    bool SetIndicators(const unsigned* ids, int count);
    int GetCount() const { return int(m_panes.size()); }

    // The look of pane i, or nullptr when there is no such pane.
    PaneStyle* GetPaneStyle(int i);

    // Keeps a copy of pane i's look (replacing an earlier one) / puts it back, which destroys a
    // hosted control of that pane, and repaints. Without a stored copy only the repaint happens.
    void SaveState(int i);
    void RestoreState(int i);
    bool HasSavedState(int i) const { return m_saved.count(i) != 0; }

    // Framework pane operations.
    void SetPaneInfo(int i, unsigned id, uint32_t style, int width);
    void GetPaneInfo(int i, unsigned& id, uint32_t& style, int& width) const;
    bool SetPaneText(int i, const QString& text, bool update = true);
    QString GetPaneText(int i) const;
    unsigned GetItemID(int i) const;
    int CommandToIndex(unsigned id) const;
    QRect GetItemRect(int i) const;

    QWidget* owner() const { return m_owner.data(); }
    bool IsScrollTimerRunning() const { return m_scrollTimer.isActive(); }

    // The most recently constructed bar; hosted controls of panes that belong to no bar are
    // created on it.
    static PaneStatusBar* Current();

    // How a failed Create is reported (default: a message box). For tests and headless runs.
    using MessageHook = std::function<void(QWidget* owner, const QString& text)>;
    static void SetMessageHook(MessageHook hook);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  signals:
    // Every button press, release, double click and move over the bar, in the bar's coordinates.
    void mouseMessage(QEvent::Type type, QPoint position, Qt::MouseButton button,
                      Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers);

  protected:
    // The text an indicator id stands for; the base has none.
    virtual QString IndicatorText(unsigned id) const;

    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    bool m_sizeGrip = true;

  private:
    friend class PaneStyle;

    struct Pane {
        unsigned id = ID_SEPARATOR;
        uint32_t style = SBPS_NORMAL;
        int width = 0;
        QString text;
    };

    void ForwardMouse(QMouseEvent* event);
    void LayoutControls();
    void PlaceAtBottom();
    QRect SizeGripRect() const;
    void PaintText(QPainter& painter, int i, const QRect& inner, bool enabled);
    void PaintBitmap(QPainter& painter, int i, const QRect& inner);

    std::vector<Pane> m_panes;
    std::vector<std::unique_ptr<PaneStyle>> m_styles;
    std::map<int, PaneStyle> m_saved;
    QBasicTimer m_scrollTimer;
    QPointer<QWidget> m_owner;
};
