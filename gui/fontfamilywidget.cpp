#include "gui/fontfamilywidget.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

FontFamilyWidget::FontFamilyWidget(const QString &current, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Select Font Family"));
    auto *layout = new QVBoxLayout(this);
    m_list = new QListWidget;
    for (const QString &family : usableFamilies()) {
        auto *item = new QListWidgetItem(family, m_list);
        item->setFont(QFont(family));
        if (family == current)
            m_list->setCurrentItem(item);
    }
    layout->addWidget(m_list);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("OK"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_list, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    layout->addWidget(buttons);
    resize(320, 420);
}

QString FontFamilyWidget::family() const
{
    const QListWidgetItem *item = m_list->currentItem();
    return item ? item->text() : QString();
}

QStringList FontFamilyWidget::usableFamilies()
{
    QStringList families;
    for (const QString &family : QFontDatabase::families()) {
        bool regular = false;
        bool bold = false;
        for (const QString &style : QFontDatabase::styles(family)) {
            regular = regular || style.contains("regular", Qt::CaseInsensitive)
                || style.compare("Book", Qt::CaseInsensitive) == 0 || style.compare("Normal", Qt::CaseInsensitive) == 0;
            bold = bold || style.compare("bold", Qt::CaseInsensitive) == 0;
        }
        if (regular && bold)
            families.append(family);
    }
    return families;
}
