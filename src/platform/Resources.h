#pragma once

#include <QJsonObject>
#include <QString>

namespace platform {

// Makes the design-time data (the data module's settings, the report commands, the icon)
// reachable as resources; they live in a static library that nothing else would link in.
void LoadDesignResources();

// The data module's design-time settings, by component.
QJsonObject DataModuleDesign();

// The user name and password the data module logs in with by design, for a connection made
// without it.
struct DesignLogin {
    QString user;
    QString password;
};
DesignLogin LoadDesignLogin();

} // namespace platform
