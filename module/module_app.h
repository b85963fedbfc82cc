// CHx_Aec_ModApp: the one module object. Its start-up hook creates the
// engine when the library loads; its destruction deletes it at unload.
#ifndef HX_MODULE_MODULE_APP_H
#define HX_MODULE_MODULE_APP_H

class Hx_AEC_Impl;

class CHx_Aec_ModApp {
 public:
  CHx_Aec_ModApp();
  virtual ~CHx_Aec_ModApp();
  // Creates the engine. false when no engine could be obtained.
  virtual bool InitInstance();
  Hx_AEC_Impl *GetAec() const { return m_pAec; }

 private:
  Hx_AEC_Impl *m_pAec = nullptr;
};

extern CHx_Aec_ModApp theApp;

#endif
