#pragma once

#include <QDialog>

class QListWidget;

/// "Select Font Family": the system's font families that have both a regular
/// and a bold style, since the text overlay switches between the two.
class FontFamilyWidget : public QDialog
{
    Q_OBJECT
public:
    explicit FontFamilyWidget(const QString &current, QWidget *parent = nullptr);

    /// The chosen family, or "" when none is selected.
    QString family() const;

    /// The families offered: those with a regular and a bold style.
    static QStringList usableFamilies();

private:
    QListWidget *m_list = nullptr;
};
