// SPDX-License-Identifier: GPL-3.0-or-later

// The open-file dialog behind "Add...", on Qt's own QFileDialog, its settings kept in memory.

#include "QtOpenFileDialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

namespace quellon {

QStringList QtNameFilters(std::string_view filter)
{
    const QStringList parts =
        QString::fromUtf8(filter.data(), static_cast<qsizetype>(filter.size())).split(QLatin1Char('|'));
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList globs;
        for (const QString& glob : parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString trimmed = glob.trimmed();
            if (trimmed.isEmpty())
                continue;
            // On Windows "*.*" also matches names without a dot; Qt's "*" is that glob.
            globs.append(trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
        }
        if (globs.isEmpty())
            continue;
        result.append(parts.at(i) + QStringLiteral(" (") + globs.join(QLatin1Char(' ')) + QLatin1Char(')'));
    }
    return result;
}

namespace {

// Qt's file dialog keeps the folders it visited in the per-user settings of "QtProject" and writes
// them to the user's config folder when it closes: a record of where the wiped files were. Those
// settings are pointed at a place where no file can ever be made, so they live in memory only.
void KeepQtDialogSettingsOffDisk()
{
    static const bool done = [] {
        for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
            QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
        return true;
    }();
    static_cast<void>(done);
}

} // namespace

void QtOpenFileDialog::ShowOpen()
{
    KeepQtDialogSettingsOffDisk();
    QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(DialogTitle));
    // Qt's own dialog, never the desktop's: the desktop's dialogs add every file chosen to the
    // user's recently used files, and that record would outlive the wipe.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode((Flags & OFN_FILEMUSTEXIST) != 0 ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // The descriptions already name their patterns, as Windows filters do.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    const QStringList filters = QtNameFilters(Filter);
    if (!filters.isEmpty())
        dialog.setNameFilters(filters);
    if (!lastFolder_.isEmpty())
        dialog.setDirectory(lastFolder_);

    fileName_.clear();
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.constFirst().isEmpty())
        return;

    const QString path = QDir::toNativeSeparators(chosen.constFirst());
    lastFolder_ = QFileInfo(path).absolutePath();
    fileName_ = QFile::encodeName(path).toStdString();
}

} // namespace quellon
