#include "IKxModuleClound.h"
#include "KxMerioErrors.h"

void kxRegisterCoreMetaTypes()
{
    qRegisterMetaType<IKxModuleClound::ICallBack::UploadProgress>("UploadProgress");
    qRegisterMetaType<QList<IKxModuleClound::ICallBack::UploadProgress>>("QList<UploadProgress>");
    qRegisterMetaType<KxMerioErrors::ErrorCode>("ErrorCode");
}
