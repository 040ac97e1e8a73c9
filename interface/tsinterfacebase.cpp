#include "tsinterfacebase.h"

TSInterfaceBase::TSInterfaceBase()
    : QObject(nullptr)
{
}

int TSInterfaceBase::getControllerListWithValues(QString&) { return ResultNotImplemented; }
int TSInterfaceBase::getControllerValues(QString&) { return ResultNotImplemented; }
int TSInterfaceBase::getControllerValue(QString&) { return ResultNotImplemented; }
int TSInterfaceBase::setControllerValue(QString&) { return ResultNotImplemented; }
int TSInterfaceBase::reservedOperation1(QString&) { return ResultNotImplemented; }
int TSInterfaceBase::reservedOperation2(QString&) { return ResultNotImplemented; }
int TSInterfaceBase::getLocoChanged(QString&) { return ResultNotImplemented; }
int TSInterfaceBase::loadSteamLibrary() { return ResultNotImplemented; }
