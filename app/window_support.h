#pragma once
// Lays out the updater's dialogs from their templates. Template positions are in
// dialog units, which scale with the dialog's font: a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of
// its height. Converting them the way the platform the layouts were drawn for
// does keeps every text fitting its control whatever font the desktop has.
#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>
#include <QString>
#include <string>

#include "res/resource.h"

class QWidget;

class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& font);

  int BaseX() const { return m_nBaseX; }  // average character width, pixels
  int BaseY() const { return m_nBaseY; }  // character height, pixels

  QRect ToPixels(const DialogRect& rc) const;
  QSize ToPixels(int cx, int cy) const;

  // a * b / c rounded half away from zero, as the platform's layout arithmetic.
  static int MulDiv(int a, int b, int c);

 private:
  int m_nBaseX;
  int m_nBaseY;
};

// The font a template names, as this desktop has it: the desktop's own
// interface family at the template's point size.
QFont DialogFont(const DialogTemplate& dlgTemplate);

// Gives `pDialog` the template's font, caption and fixed client size, and
// creates its controls in template order (which makes it the tab order), each
// named "control<ID>" with the property "controlId" for tests and lookups.
void CreateDialogControls(QWidget* pDialog, const DialogTemplate& dlgTemplate);

// The application icon in its three drawn sizes.
QIcon AppIcon();

// Text of the updater's core (status lines, captions, messages) for display.
// It is UTF-8 as a rule; bytes that are not valid UTF-8 (a manifest written in
// a single-byte code page) are taken as Latin-1 rather than shown as '?'.
QString FromAnsi(const std::string& strText);
