#pragma once
// Small page-building functions shared by the pages and dialogs. The object names they set
// ("Card", "CardTitle", "PageTitle", "PageSubtitle") are the style sheet's hooks.

#include <QString>

class QComboBox;
class QFrame;
class QLabel;
class QVBoxLayout;
class QWidget;

QFrame *makeCard(const QString &title, QVBoxLayout **layoutOut, QWidget *parent = nullptr);
QWidget *makePageHeader(const QString &title, const QString &subtitle, QLabel **subtitleOut = nullptr);
QLabel *makeLabel(const QString &text, const QString &objectName = QString(), QWidget *parent = nullptr);
void setLetterSpacing(QWidget *widget, qreal pixels);
void fillMaxPingChoices(QComboBox *combo, int current);
void fillRegionChoices(QComboBox *combo, const QString &currentCode);
