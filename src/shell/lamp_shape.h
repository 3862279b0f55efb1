#pragma once

#include <QColor>
#include <QWidget>

namespace flashmere {

// The status lamp: a filled circle with a thin outline on its parent's
// background colour.
class LampShape : public QWidget {
    Q_OBJECT
  public:
    explicit LampShape(QWidget* parent = nullptr);

    QColor colour() const { return colour_; }
    void setColour(const QColor& colour);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor colour_{255, 0, 0};
};

}  // namespace flashmere
