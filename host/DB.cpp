// The reference host's design database and task record.
#include "rbo/host/DB.h"

int CDB::m_nGradsCalc = 0;
bool CDB::m_bIsRestartForDGOMeanValue = false;
int CDB::s_nKorrMethod = 0;

CDB::CDB() : m_params(new CParams()) { m_pParams = m_params.get(); }

CDB::~CDB() = default;

int CDB::GetKorrMethod() const { return s_nKorrMethod; }

std::string CTask::GetIn() const { return m_strIn; }
std::string CTask::GetOut() const { return m_strOut; }
std::string CTask::GetExe() const { return m_strExe; }
std::string CTask::GetExeCmd() const { return m_strExeCmd; }
