#pragma once

#include <QWidget>

namespace flashmere {

// A dotted rectangle drawn over a control that draws no focus mark of its
// own (a label that is a Tab stop), shown while the control has the focus.
// It takes no input: clicks go through to the control. margins: the part
// of the control it leaves out (a child that repaints often, so that the
// mark need not repaint with it).
class FocusMark final : public QWidget {
    Q_OBJECT
  public:
    explicit FocusMark(QWidget& target, QMargins margins = {});

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QWidget& target_;
    QMargins margins_;
};

}  // namespace flashmere
