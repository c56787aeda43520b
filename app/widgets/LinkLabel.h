#pragma once

#include <QColor>
#include <QString>
#include <QUrl>
#include <QWidget>

// An underlined text that behaves like a web link: its colour changes and the cursor becomes a
// pointing hand while the mouse is over the text, and a left click opens its target through the
// desktop (QDesktopServices).
class LinkLabel : public QWidget {
    Q_OBJECT
  public:
    explicit LinkLabel(const QString& caption = QString(), QWidget* parent = nullptr);

    void SetUrl(const QString& url);
    void SetNormalColour(const QColor& colour);
    void SetHoverColour(const QColor& colour);
    void SetCustomFont(bool on);
    void SetFontFace(const QString& face);
    void SetFontSize(int height, int width);
    void SetFontStyle(bool bold, bool italic);
    // textAlign: 0 left, 1 centred, 2 right: the lines within the text block. The block itself
    // always stands in the middle of the control.
    void SetLayout(int placement, int textAlign);
    void SetWordWrap(bool on);
    void SetCaption(const QString& caption);

    QString Url() const { return m_url; }
    QString Caption() const { return m_caption; }
    QColor NormalColour() const { return m_normalColour; }
    QColor HoverColour() const { return m_hoverColour; }
    bool IsHovering() const { return m_hovering; }
    // The font the text is drawn with (always underlined).
    QFont LinkFont() const;
    // Where the text is drawn, in widget coordinates.
    QRect TextRect() const;

    // What a click opens: the url, or else the caption ("mailto:" put in front of a caption
    // with "@" that does not begin with "mailto:").
    static QString Target(const QString& url, const QString& caption);
    // The service's registration page: http://<host>/<path>register.asp.
    static QUrl RegisterUrl(const QString& serviceHost, const QString& path = QString());
    // The service's account page with the invitation query and fragment, sent as written.
    static QUrl InviteUrl(const QString& serviceHost, const QString& path = QString());
    // Configures a link the way the main window shows its two: dark green, blue on hover,
    // "Times New Roman" 18 pixels high, text aligned left on one line (the block centred).
    static void StyleAsMainWindowLink(LinkLabel* link);

  signals:
    // A left click on the link (before it is opened).
    void linkClicked(const QString& target);

  protected:
    // A left click: opens the target. Overridable.
    virtual void OnLinkClicked();
    // A right click: does nothing.
    virtual void OnLinkRightClicked() {}

    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void SetHovering(bool on);

    QString m_caption;
    QString m_url;
    QColor m_normalColour{0, 0, 0};
    QColor m_hoverColour{0, 255, 0};
    bool m_customFont = false;
    QString m_fontFace;
    int m_fontHeight = 0;
    int m_fontWidth = 0;
    bool m_bold = false;
    bool m_italic = false;
    int m_placement = 5;
    int m_textAlign = 1;
    bool m_wordWrap = true;
    bool m_hovering = false;
};
