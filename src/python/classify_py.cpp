// The module function classify_exchange.
#include "core/classify.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"

namespace zun::py {
namespace {

constexpr Param kParams[] = {{"protocol_hint", true}, {"counterparty", true}};
constexpr Signature kSignature{"classify_exchange()", kParams};

PyObject* classify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto bound = bind<2>(kSignature, args, nargs, kwnames);
        const std::string_view hint = to_text(bound[0], "protocol_hint");
        const std::string_view counterparty = to_text(bound[1], "counterparty");
        return new_str(classify_exchange(hint, counterparty));
    });
}

}  // namespace

PyMethodDef classify_exchange_def = {
    "classify_exchange", method(classify), kFastKeywords,
    "classify_exchange(protocol_hint, counterparty)\n--\n\n"
    "Map `(protocol_hint, counterparty)` to one of the 11 pair classes:\n"
    "routing, discovery, enrichment, composition, causal, marketplace,\n"
    "trust, compliance, conductance, mediation, preference.\n\n"
    "Mirror of `zun_protocol_signed_envelope::classify::classify_exchange`."};

}  // namespace zun::py
