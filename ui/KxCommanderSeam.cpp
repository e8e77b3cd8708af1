// The record control's link to the real commander. Kept apart so that code
// which drives the control's clock itself (tests) does not need the
// commander's library.

#include "KxMasterCommander.h"
#include "KxRecordComboWidget.h"
#include "KxRecordCtrlWidget.h"

void KxRecordCtrlWidget::setCommander(KxMasterCommander *commander)
{
    if (!commander) {
        setElapsedSource({});
        return;
    }
    setElapsedSource([commander] { return commander->elapsed(); });
}

void KxRecordComboWidget::setCommander(KxMasterCommander *commander)
{
    ctrlWidget()->setCommander(commander);
}
