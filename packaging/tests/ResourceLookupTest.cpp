// How the client finds its data files: beside the program in the build tree, or under the
// installed prefix relative to the program's folder.

#include "app/shell/Icons.h"
#include "app/sounds/SoundPlayer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// A prefix laid out as an install makes it: <root>/bin and the data folder beside it.
struct Prefix {
    QTemporaryDir root;
    QString bin() const { return root.path() + "/bin"; }
    QString data() const { return QDir::cleanPath(bin() + "/" ZORVO_DATA_FROM_BIN); }
    bool Make(const QString& folder) const { return QDir().mkpath(folder); }
};

TEST(SoundLookup, AnInstalledProgramFindsTheSoundsUnderItsPrefix) {
    Prefix prefix;
    ASSERT_TRUE(prefix.Make(prefix.bin()));
    ASSERT_TRUE(prefix.Make(prefix.data() + "/zorvo/sounds"));
    EXPECT_EQ(SoundsFolderFor(prefix.bin()), prefix.data() + "/zorvo/sounds");
}

TEST(SoundLookup, TheBuildTreeFolderBesideTheProgramComesFirst) {
    Prefix prefix;
    ASSERT_TRUE(prefix.Make(prefix.bin() + "/sounds"));
    ASSERT_TRUE(prefix.Make(prefix.data() + "/zorvo/sounds"));
    EXPECT_EQ(SoundsFolderFor(prefix.bin()), prefix.bin() + "/sounds");
}

TEST(SoundLookup, WithNoSoundFolderTheNamesPointBesideTheProgram) {
    Prefix prefix;
    ASSERT_TRUE(prefix.Make(prefix.bin()));
    EXPECT_EQ(SoundsFolderFor(prefix.bin()), prefix.bin() + "/sounds");
}

TEST(SoundLookup, TheBuildTreeProgramFindsItsSoundsBesideIt) {
    const QString program = QCoreApplication::applicationDirPath();
    EXPECT_EQ(SoundsFolderFor(program), program + "/sounds");
    EXPECT_TRUE(QFileInfo::exists(SoundsFolderFor(program) + "/phonering.wav"));
}

TEST(SoundLookup, TheSoundsFolderVariableOverridesTheLookup) {
    qputenv("ZORVO_SOUNDS_DIR", "/nowhere/sounds");
    const QString folder = SoundsFolder();
    qunsetenv("ZORVO_SOUNDS_DIR");
    EXPECT_EQ(folder, "/nowhere/sounds");
}

TEST(IconLookup, TheThemeFolderSitsInTheDataFolderOfThePrefix) {
    Prefix prefix;
    EXPECT_EQ(icons::IconThemeFolder(prefix.bin()), prefix.data() + "/icons/hicolor");
}

TEST(IconLookup, TheProgramIconIsReadFromTheIconFiles) {
    Prefix prefix;
    const QString theme = icons::IconThemeFolder(prefix.bin());
    // A file that differs from the drawing shows that the file, not the drawing, is used.
    QImage marked(48, 48, QImage::Format_ARGB32);
    marked.fill(QColor(250, 10, 200));
    ASSERT_TRUE(prefix.Make(theme + "/48x48/apps"));
    ASSERT_TRUE(marked.save(theme + "/48x48/apps/zorvo.png", "PNG"));

    const QIcon icon = icons::LoadMainIcon(theme);
    ASSERT_FALSE(icon.isNull());
    const QImage shown = icon.pixmap(48, 48).toImage();
    EXPECT_EQ(shown.size(), QSize(48, 48));
    EXPECT_EQ(shown.pixelColor(24, 24), QColor(250, 10, 200));
}

TEST(IconLookup, WithoutIconFilesTheProgramIconIsDrawn) {
    Prefix prefix;
    const QString theme = icons::IconThemeFolder(prefix.bin());
    EXPECT_TRUE(icons::LoadMainIcon(theme).isNull());
    const QIcon icon = icons::MainIconFrom(theme);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixmap(48, 48).toImage().convertToFormat(QImage::Format_ARGB32),
              icons::DrawMainIcon(48).convertToFormat(QImage::Format_ARGB32));
}

TEST(IconLookup, TheBuildTreeProgramFindsTheIconFilesMadeAtBuildTime) {
    const QString theme = icons::IconThemeFolder(QCoreApplication::applicationDirPath());
    for (int size : icons::kMainIconSizes) {
        const QImage file(QStringLiteral("%1/%2x%2/apps/zorvo.png").arg(theme).arg(size));
        ASSERT_EQ(file.size(), QSize(size, size)) << size;
        EXPECT_EQ(file.convertToFormat(QImage::Format_ARGB32),
                  icons::DrawMainIcon(size).convertToFormat(QImage::Format_ARGB32))
            << size;
    }
}

TEST(IconLookup, AnUnreadableIconFileIsSkipped) {
    Prefix prefix;
    const QString theme = icons::IconThemeFolder(prefix.bin());
    ASSERT_TRUE(prefix.Make(theme + "/32x32/apps"));
    QFile broken(theme + "/32x32/apps/zorvo.png");
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("not a picture");
    broken.close();
    EXPECT_TRUE(icons::LoadMainIcon(theme).isNull());
}

TEST(IconDrawing, TheProgramIconIsABlueDiscWithAWhiteHandset) {
    const QImage image = icons::DrawMainIcon(64);
    ASSERT_EQ(image.size(), QSize(64, 64));
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);              // outside the disc
    EXPECT_EQ(image.pixelColor(32, 56), QColor(30, 90, 170));  // the disc
    EXPECT_EQ(image.pixelColor(32, 27), QColor(Qt::white));    // the handset's grip
}

}  // namespace
