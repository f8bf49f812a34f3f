#include "update/messages.h"

#include "update/copy_list.h"

namespace mirrolet {

std::wstring CopyFailedText(const std::wstring& product, const CopyFailure& failure) {
  std::wstring text = L"複製檔案失敗，自動更新已中止！\n\n";
  if (!product.empty()) text += L"產品：" + product + L"\n";
  if (failure.entry == 0) {
    if (!failure.source.empty()) text += L"無法讀取複製清單：" + failure.source + L"\n";
  } else {
    text += L"項目：第 " + std::to_wstring(failure.entry) + L" 項，共 " + std::to_wstring(failure.count) +
            L" 項\n來源：" + failure.source + L"\n目的地：" +
            (failure.destination.empty() ? L"（空白）" : failure.destination) + L"\n";
  }
  return text + L"原因：" + failure.error.description;
}

}  // namespace mirrolet
