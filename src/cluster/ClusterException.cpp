#include "ClusterException.h"

CClusterException::CClusterException(int id, const char* pMessage)
    : m_sMessage(pMessage != 0 ? pMessage : ""), m_iId(id)
{}

CClusterException::~CClusterException() throw() {}

std::string CClusterException::Message()
{
    return m_sMessage;
}

int CClusterException::Id()
{
    return m_iId;
}
