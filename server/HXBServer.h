#pragma once

#include <QObject>

// Brings the services up in their fixed order when constructed; one instance lives in main.
class HXBServer : public QObject
{
    Q_OBJECT
public:
    explicit HXBServer(QObject *parent = nullptr);
    ~HXBServer() override;
};
