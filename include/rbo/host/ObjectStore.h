// The host's persistent object store.
//
// Records are constructed on the store (POD), given their key, and read with
// GetObject(), which returns false when the record is absent.  CLock holds
// the store's lock from construction until UnLock() or destruction.
#pragma once

#include <vector>

#include "rbo/Export.h"
#include "rbo/host/ValueTypes.h"

class POD;

/// The process's object store, opened on first use; null when it cannot be opened.
RBO_HOST_API POD* GetPOD();

class RBO_HOST_API CLock {
 public:
  CLock(POD* pPod, long nMode);
  ~CLock();
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;
  void UnLock();

 private:
  POD* m_pPod;     ///< the locked store
  bool m_bLocked;  ///< the lock is still held
};

/// A record of the store.
class RBO_HOST_API vbPersistent {
 public:
  explicit vbPersistent(POD* pPod) : m_pPod(pPod) {}
  virtual ~vbPersistent();
  /// Reads the record; false when it is absent.
  bool GetObject();

 protected:
  virtual bool Read(POD* pPod) = 0;
  POD* m_pPod;  ///< the store the record lives in
};

/// Response definitions of a problem: one pass/fail mark per response entry.
class RBO_HOST_API CDResp : public vbPersistent {
 public:
  explicit CDResp(POD* pPod) : vbPersistent(pPod) {}
  vbINT32 m_nKey;                    ///< problem key
  std::vector<vbINT32> m_vPassFail;  ///< 1 marks a pass/fail response entry

 protected:
  bool Read(POD* pPod) override;
};

/// Results of a problem: how many design points are stored.
class RBO_HOST_API CResult : public vbPersistent {
 public:
  explicit CResult(POD* pPod) : vbPersistent(pPod) {}
  vbINT32 m_nKey;           ///< problem key
  vbINT32 m_nDesignPoints;  ///< number of stored design points

 protected:
  bool Read(POD* pPod) override;
};

/// One stored design point: its three response groups.
class RBO_HOST_API CDPoint : public vbPersistent {
 public:
  explicit CDPoint(POD* pPod) : vbPersistent(pPod) {}
  vbINT32 m_nKey;                        ///< problem key
  vbINT32 m_nIndex;                      ///< 0-based point index
  std::vector<vbFLOAT64> m_vIndResps;    ///< response group 0
  std::vector<vbFLOAT64> m_vLinkResps;   ///< response group 1
  std::vector<vbFLOAT64> m_vSynthResps;  ///< response group 2

 protected:
  bool Read(POD* pPod) override;
};
