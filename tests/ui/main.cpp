// SPDX-License-Identifier: GPL-3.0-or-later

// The window tests' main: Google Test under a QApplication, or one scripted session of the real
// window when run with kSessionSwitch.

#include "WindowFixture.h"

#include <QApplication>
#include <QFile>

#include <gtest/gtest.h>

#include <string_view>

int main(int argc, char* argv[])
{
    if (argc == 3 && std::string_view(argv[1]) == quellon::testing::kSessionSwitch) {
        QApplication app(argc, argv);
        return quellon::testing::RunSession(QFile::decodeName(argv[2]));
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(quellon::testing::kFontSizeVariable)) {
        QFont font = QApplication::font();
        font.setPointSizeF(qEnvironmentVariable(quellon::testing::kFontSizeVariable).toDouble());
        QApplication::setFont(font);
    }
    return RUN_ALL_TESTS();
}
