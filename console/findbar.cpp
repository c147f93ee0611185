#include "console/findbar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QWebEngineFindTextResult>
#include <QWebEnginePage>

FindBar::FindBar(QWebEnginePage *page, QWidget *parent)
    : QFrame(parent), page(page), text(new QLineEdit(this)), count(new QLabel(this))
{
    setFrameShape(QFrame::StyledPanel);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(6, 2, 6, 2);
    text->setPlaceholderText(tr("Find in page"));
    row->addWidget(text, 1);
    row->addWidget(count);
    const auto button = [this, row](const QString &label, const QString &tip) {
        auto *b = new QToolButton(this);
        b->setText(label);
        b->setToolTip(tip);
        row->addWidget(b);
        return b;
    };
    connect(button(QStringLiteral("\u2191"), tr("Previous")), &QToolButton::clicked, this,
            [this] { find(true); });
    connect(button(QStringLiteral("\u2193"), tr("Next")), &QToolButton::clicked, this,
            [this] { find(false); });
    connect(button(QStringLiteral("\u00d7"), tr("Close")), &QToolButton::clicked, this,
            &FindBar::close);
    connect(text, &QLineEdit::textEdited, this, [this] { find(false); });
    connect(page, &QWebEnginePage::findTextFinished, this, &FindBar::showResult);
    hide();
}

void FindBar::open()
{
    show();
    text->setFocus();
    text->selectAll();
}

void FindBar::close()
{
    hide();
    page->findText(QString()); // clears the highlight
    count->clear();
}

void FindBar::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape)
        close();
    else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        find(event->modifiers() & Qt::ShiftModifier);
    else
        QFrame::keyPressEvent(event);
}

void FindBar::find(bool backward)
{
    if (text->text().isEmpty()) {
        page->findText(QString());
        count->clear();
        return;
    }
    page->findText(text->text(),
                   backward ? QWebEnginePage::FindBackward : QWebEnginePage::FindFlags());
}

void FindBar::showResult(const QWebEngineFindTextResult &result)
{
    count->setText(result.numberOfMatches() == 0
                       ? tr("No matches")
                       : tr("%1 of %2").arg(result.activeMatch()).arg(result.numberOfMatches()));
}
