#pragma once

#include "scan/girdleprofile.h"

#include <QString>
#include <QWidget>

// The girdle's thickness against A after a complete scan, drawn on the panorama page: one point
// per degree (measured degrees solid, interpolated ones pale), the minimum, maximum and mean as
// horizontal lines and the thinnest place marked. Empty (with a word saying so) before a scan.
class GirdlePlot : public QWidget
{
    Q_OBJECT

public:
    explicit GirdlePlot(QWidget* parent = nullptr);

    void setProfile(const girdleprofile::Profile& profile);
    // The line written above the plot: "Thickness min 118.3 µm at 214°, max 131.0 µm, mean
    // 124.9 µm (214 of 360 degrees measured)", or why there is none.
    QString caption() const { return captionText; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    girdleprofile::Profile profile;
    QString captionText;
};
