#include "ui/widgets/Fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QStringList>
#include <gtest/gtest.h>

// The faces the board asks for resolve to the installed families that serve them.
TEST(Fonts, SubstitutionsResolveToTheInstalledFamilies) {
    ui::RegisterFontSubstitutions();
    struct Case {
        const char* asked;
        const char* served;
    } cases[] = {{ui::KaiFaceName, "AR PL UKai TW"},
                 {ui::ArialFaceName, "Liberation Sans"},
                 {ui::ArialNarrowFaceName, "Liberation Sans Narrow"}};
    for (const Case& c : cases) {
        ASSERT_TRUE(QFontDatabase::families().contains(QString::fromUtf8(c.served))) << c.served << " is not installed";
        QFont font(QString::fromUtf8(c.asked), 40);
        EXPECT_EQ(QFontInfo(font).family(), QString::fromUtf8(c.served)) << c.asked;
    }
}
