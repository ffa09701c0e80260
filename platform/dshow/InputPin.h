#pragma once
// The base input pin: takes samples through IMemInputPin, keeps the allocator the upstream pin
// agreed on, and tracks flushing so that samples arriving during a flush are refused.
#include <atomic>

#include "platform/dshow/BasePin.h"

class CBaseInputPin : public CBasePin, public IMemInputPin {
public:
    CBaseInputPin(const wchar_t* pObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pName);
    ~CBaseInputPin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT BreakConnect() override;
    HRESULT Inactive() override;

    // IPin flush handling: while flushing, Receive answers S_FALSE.
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;

    // IMemInputPin
    HRESULT GetAllocator(IMemAllocator** ppAllocator) override;
    HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    // The streaming check and a type change carried by the sample; derived pins call it first.
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) override;
    HRESULT ReceiveCanBlock() override;

    // S_OK when a sample may be processed now; S_FALSE while flushing; VFW_E_WRONG_STATE when
    // stopped; VFW_E_RUNTIME_ERROR after a fault; VFW_E_NOT_CONNECTED without a connection.
    virtual HRESULT CheckStreaming();

    bool IsFlushing() const { return m_bFlushing; }
    bool IsReadOnly() const { return m_bReadOnly; }
    IMemAllocator* PeekAllocator() const { return m_pAllocator; }

protected:
    IMemAllocator* m_pAllocator = nullptr;  // holds a reference; set under *m_pLock while connecting
    bool m_bReadOnly = false;
    // Set by BeginFlush and cleared by EndFlush on a control thread, read by the streaming thread.
    std::atomic<bool> m_bFlushing{false};
};
