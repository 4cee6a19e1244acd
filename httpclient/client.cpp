// The one instantiation of the class templates, compiled once here.
#include "httpclient/httpclient.h"

namespace Corvu {

template class CHttpClientMapT<CHttpToolA>;
template class CHttpPostStatT<CHttpToolA>;
template class CHttpResponseT<CHttpToolA>;
template class CHttpUrlAnalyzerT<CHttpToolA>;
template class CHttpClientT<CHttpToolA, CHttpEncoderA>;

}  // namespace Corvu
