#pragma once

#include <QIcon>

class QPushButton;
class QWidget;

// Turns a dialog template of the resource table into widgets: sizes in dialog units, controls by ID, template order
// as tab order.
namespace DialogBuilder {

bool build(int templateId, QWidget* dialog);

// Pixels of one dialog unit pair for the dialog font: base X = average width of A-Z a-z, base Y = font height.
struct BaseUnits {
    int x;
    int y;
};
BaseUnits baseUnits();
int toPixelsX(int dialogUnits);
int toPixelsY(int dialogUnits);

QPushButton* templateDefaultButton(QWidget* dialog);
void focusFirstTabStop(QWidget* dialog);
QIcon icon(int iconId);

} // namespace DialogBuilder
