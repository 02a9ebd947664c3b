#include "platform/TextLogContent.h"
#include "platform/TextLogLayouts.h"
#include "platform/base/TextLog.h"

#include <QTextLayout>
#include <gtest/gtest.h>

#include <climits>

// No widget: the cache takes its font, margin and width from the caller.
TEST(TextLogLayouts, LaysOutGrownLinesAnewAndNothingOfALogShownBefore) {
    TextLogContent content;
    TextLogLayouts layouts(content);
    layouts.setFormat({QFont(), QTextOption(), 4, 1000, nullptr});
    auto show = [&](const TextLog& log) { layouts.forget(content.show(log)); };

    TextLog log(4);
    log.append("one\r\ntw");
    show(log);
    EXPECT_EQ(layouts.layout(1).text(), QStringLiteral("tw"));
    log.append("o\r\r");
    show(log);
    EXPECT_EQ(layouts.layout(1).text(), QStringLiteral("two"));
    EXPECT_EQ(layouts.textEnd(), (TextLogPosition{3, 0}));
    log.append("\nthree");
    show(log);
    EXPECT_EQ(layouts.layout(2).text(), QStringLiteral("three"));
    EXPECT_EQ(layouts.textEnd(), (TextLogPosition{2, 5}));
    EXPECT_EQ(layouts.layout(0).text(), QStringLiteral("one"));

    TextLog other;
    other.append("x");
    show(other);
    EXPECT_EQ(layouts.layout(0).text(), QStringLiteral("x"));
    EXPECT_EQ(layouts.length(0), 1);
}

TEST(TextLogLayouts, WrapsAtTheWidthLessTheMarginsAndAddsTheMarginBelowTheLastLine) {
    TextLog log;
    log.append("words that wrap in a narrow view\r\nlast");
    TextLogContent content;
    content.show(log);
    TextLogLayouts layouts(content);
    const qreal margin = 4;
    for (qreal width : {qreal(60), qreal(INT_MAX)}) {
        SCOPED_TRACE(width);
        layouts.setFormat({QFont(), QTextOption(), margin, width, nullptr});
        const QTextLayout& first = layouts.layout(0);
        EXPECT_EQ(first.lineCount() > 1, width == 60);
        for (int i = 0; i < first.lineCount(); ++i) {
            EXPECT_EQ(first.lineAt(i).x(), margin);
            EXPECT_LE(first.lineAt(i).naturalTextWidth(), width - 2 * margin);
        }
        EXPECT_EQ(layouts.height(0), first.boundingRect().bottom());
        EXPECT_EQ(layouts.height(1), layouts.layout(1).boundingRect().bottom() + margin);
    }
}
