// The native methods that convert their arguments, call the API function of
// the same name and convert its result.
#include "bridge.h"

using namespace kv::jni;

KV_JNI(jint, kvDomainAdapt)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_adapt(Handle{a0}));
}

KV_JNI(jdouble, kvDomainApproximate)(JNIEnv *, jobject, jhandle a0, jdouble a1)
{
    return kv_domain_approximate(Handle{a0}, a1);
}

KV_JNI(jboolean, kvDomainAreNodesSeparated)(JNIEnv *, jobject, jhandle a0, jhandle a1, jhandle a2, jhandle a3)
{
    return to_flag(kv_domain_are_nodes_separated(Handle{a0}, Handle{a1}, Handle{a2}, Handle{a3}));
}

KV_JNI(jboolean, kvDomainCGEvidenceIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_domain_cg_evidence_is_propagated(Handle{a0}));
}

KV_JNI(jint, kvDomainCompile)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_compile(Handle{a0}));
}

KV_JNI(jdouble, kvDomainCompress)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_compress(Handle{a0});
}

KV_JNI(jint, kvDomainDecideAutomatically)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_decide_automatically(Handle{a0}));
}

KV_JNI(jboolean, kvDomainEquilibriumIs)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return to_flag(kv_domain_equilibrium_is(Handle{a0}, Int{a1}));
}

KV_JNI(jboolean, kvDomainEvidenceIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_domain_evidence_is_propagated(Handle{a0}));
}

KV_JNI(jboolean, kvDomainEvidenceModeIs)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return to_flag(kv_domain_evidence_mode_is(Handle{a0}, Int{a1}));
}

KV_JNI(jboolean, kvDomainEvidenceToPropagate)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_domain_evidence_to_propagate(Handle{a0}));
}

KV_JNI(jint, kvDomainGenerateTables)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_generate_tables(Handle{a0}));
}

KV_JNI(jdouble, kvDomainGetApproximationConstant)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_get_approximation_constant(Handle{a0});
}

KV_JNI(jstring, kvDomainGetAttribute)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_string();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return nullptr;
    return to_jstring(env, kv_domain_get_attribute(Handle{a0}, s1.get()));
}

KV_JNI(jdouble, kvDomainGetCaseCount)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_domain_get_case_count(Handle{a0}, Int{a1});
}

KV_JNI(jint, kvDomainGetConcurrencyLevel)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_get_concurrency_level(Handle{a0}));
}

KV_JNI(jdouble, kvDomainGetConflict)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_get_conflict(Handle{a0});
}

KV_JNI(jhandle, kvDomainGetEliminationOrder)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_domain_get_elimination_order(Handle{a0}));
}

KV_JNI(jstring, kvDomainGetFileName)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_domain_get_file_name(Handle{a0}));
}

KV_JNI(jhandle, kvDomainGetFirstAmbiguousRegion)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_domain_get_first_ambiguous_region(Handle{a0}));
}

KV_JNI(jhandle, kvDomainGetFirstAttribute)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_domain_get_first_attribute(Handle{a0}));
}

KV_JNI(jhandle, kvDomainGetFirstJunctionTree)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_domain_get_first_junction_tree(Handle{a0}));
}

KV_JNI(jhandle, kvDomainGetFirstNode)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_domain_get_first_node(Handle{a0}));
}

KV_JNI(jint, kvDomainGetGrainSize)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_get_grain_size(Handle{a0}));
}

KV_JNI(jdouble, kvDomainGetLogLikelihood)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_get_log_likelihood(Handle{a0});
}

KV_JNI(jdouble, kvDomainGetLogLikelihoodTolerance)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_get_log_likelihood_tolerance(Handle{a0});
}

KV_JNI(jdouble, kvDomainGetLogNormalizationConstant)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_get_log_normalization_constant(Handle{a0});
}

KV_JNI(jhandle, kvDomainGetMarginal)(JNIEnv *, jobject, jhandle a0, jhandle a1)
{
    return to_handle(kv_domain_get_marginal(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvDomainGetMaxNumberOfEMIterations)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_get_max_number_of_em_iterations(Handle{a0}));
}

KV_JNI(jint, kvDomainGetMaxNumberOfSeparators)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_get_max_number_of_separators(Handle{a0}));
}

KV_JNI(jhandle, kvDomainGetNodeByName)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_handle();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return 0;
    return to_handle(kv_domain_get_node_by_name(Handle{a0}, s1.get()));
}

KV_JNI(jdouble, kvDomainGetNormalizationConstant)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_get_normalization_constant(Handle{a0});
}

KV_JNI(jint, kvDomainGetNumberOfCases)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_get_number_of_cases(Handle{a0}));
}

KV_JNI(jdouble, kvDomainGetSignificanceLevel)(JNIEnv *, jobject, jhandle a0)
{
    return kv_domain_get_significance_level(Handle{a0});
}

KV_JNI(jint, kvDomainInitialize)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_initialize(Handle{a0}));
}

KV_JNI(jboolean, kvDomainIsCompiled)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_domain_is_compiled(Handle{a0}));
}

KV_JNI(jboolean, kvDomainIsCompressed)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_domain_is_compressed(Handle{a0}));
}

KV_JNI(jint, kvDomainLearnClassTables)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_learn_class_tables(Handle{a0}));
}

KV_JNI(jint, kvDomainLearnStructure)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_learn_structure(Handle{a0}));
}

KV_JNI(jint, kvDomainLearnStructureNPC)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_learn_structure_npc(Handle{a0}));
}

KV_JNI(jint, kvDomainLearnTables)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_learn_tables(Handle{a0}));
}

KV_JNI(jboolean, kvDomainLikelihoodIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_domain_likelihood_is_propagated(Handle{a0}));
}

KV_JNI(jint, kvDomainNewCase)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_new_case(Handle{a0}));
}

KV_JNI(jhandle, kvDomainNewNode)(JNIEnv *env, jobject, jhandle a0, jint a1, jint a2)
{
    Publish publish{env, domain_of(a0)};
    return to_handle(kv_domain_new_node(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jint, kvDomainPropagate)(JNIEnv *, jobject, jhandle a0, jint a1, jint a2)
{
    return static_cast<jint>(kv_domain_propagate(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jint, kvDomainResetInferenceEngine)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_reset_inference_engine(Handle{a0}));
}

KV_JNI(jint, kvDomainRetractFindings)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_retract_findings(Handle{a0}));
}

KV_JNI(jint, kvDomainSave)(JNIEnv *env, jobject, jhandle a0, jstring a1, jint a2)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_domain_save(Handle{a0}, s1.get(), Int{a2}));
}

KV_JNI(jint, kvDomainSaveAsKB)(JNIEnv *env, jobject, jhandle a0, jstring a1, jstring a2)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    NativeString s2{cache, a2};
    if (!s2)
        return status_failure();
    return static_cast<jint>(kv_domain_save_as_kb(Handle{a0}, s1.get(), s2.get()));
}

KV_JNI(jint, kvDomainSaveAsNet)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_domain_save_as_net(Handle{a0}, s1.get()));
}

KV_JNI(jint, kvDomainSaveCase)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_domain_save_case(Handle{a0}, s1.get()));
}

KV_JNI(jint, kvDomainSaveCases)(JNIEnv *env, jobject, jhandle a0, jstring a1, jhandle a2, jhandle a3, jboolean a4, jstring a5, jstring a6)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    NativeString s5{cache, a5};
    if (!s5)
        return status_failure();
    NativeString s6{cache, a6};
    if (!s6)
        return status_failure();
    return static_cast<jint>(kv_domain_save_cases(Handle{a0}, s1.get(), Handle{a2}, Handle{a3}, (a4 ? 1 : 0), s5.get(), s6.get()));
}

KV_JNI(jint, kvDomainSaveToMemory)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_save_to_memory(Handle{a0}));
}

KV_JNI(jint, kvDomainSeedRandom)(JNIEnv *, jobject, jhandle a0, jdouble a1)
{
    return static_cast<jint>(kv_domain_seed_random(Handle{a0}, a1));
}

KV_JNI(jint, kvDomainSetAttribute)(JNIEnv *env, jobject, jhandle a0, jstring a1, jstring a2)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    NativeString s2{cache, a2};
    if (!s2)
        return status_failure();
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_set_attribute(Handle{a0}, s1.get(), s2.get()));
}

KV_JNI(jint, kvDomainSetCaseCount)(JNIEnv *, jobject, jhandle a0, jint a1, jdouble a2)
{
    return static_cast<jint>(kv_domain_set_case_count(Handle{a0}, Int{a1}, a2));
}

KV_JNI(jint, kvDomainSetConcurrencyLevel)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_domain_set_concurrency_level(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvDomainSetGrainSize)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_domain_set_grain_size(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvDomainSetLogLikelihoodTolerance)(JNIEnv *, jobject, jhandle a0, jdouble a1)
{
    return static_cast<jint>(kv_domain_set_log_likelihood_tolerance(Handle{a0}, a1));
}

KV_JNI(jint, kvDomainSetMaxNumberOfEMIterations)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_domain_set_max_number_of_em_iterations(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvDomainSetMaxNumberOfSeparators)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_domain_set_max_number_of_separators(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvDomainSetNodeSize)(JNIEnv *, jobject, jhandle a0, jint a1, jint a2)
{
    return static_cast<jint>(kv_domain_set_node_size(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jint, kvDomainSetNumberOfCases)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_domain_set_number_of_cases(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvDomainSetSignificanceLevel)(JNIEnv *, jobject, jhandle a0, jdouble a1)
{
    return static_cast<jint>(kv_domain_set_significance_level(Handle{a0}, a1));
}

KV_JNI(jint, kvDomainSimulate)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_simulate(Handle{a0}));
}

KV_JNI(jboolean, kvDomainTablesToPropagate)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_domain_tables_to_propagate(Handle{a0}));
}

KV_JNI(jint, kvDomainTriangulate)(JNIEnv *env, jobject, jhandle a0, jint a1)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_triangulate(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvDomainTriangulateWithOrder)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_triangulate_with_order(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvDomainUncompile)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_domain_uncompile(Handle{a0}));
}

KV_JNI(jint, kvDomainUndoManualDecisions)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_domain_undo_manual_decisions(Handle{a0}));
}

KV_JNI(jint, kvNodeAddParent)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_add_parent(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvNodeAddPdagParent)(JNIEnv *, jobject, jhandle a0, jhandle a1)
{
    return static_cast<jint>(kv_node_add_pdag_parent(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvNodeAddToInputs)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_add_to_inputs(Handle{a0}));
}

KV_JNI(jint, kvNodeAddToOutputs)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_add_to_outputs(Handle{a0}));
}

KV_JNI(jboolean, kvNodeCaseIsSet)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return to_flag(kv_node_case_is_set(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvNodeDelete)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_delete(Handle{a0}));
}

KV_JNI(jint, kvNodeEnterFinding)(JNIEnv *, jobject, jhandle a0, jint a1, jdouble a2)
{
    return static_cast<jint>(kv_node_enter_finding(Handle{a0}, Int{a1}, a2));
}

KV_JNI(jint, kvNodeEnterValue)(JNIEnv *, jobject, jhandle a0, jdouble a1)
{
    return static_cast<jint>(kv_node_enter_value(Handle{a0}, a1));
}

KV_JNI(jboolean, kvNodeEvidenceIsEntered)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_node_evidence_is_entered(Handle{a0}));
}

KV_JNI(jboolean, kvNodeEvidenceIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_node_evidence_is_propagated(Handle{a0}));
}

KV_JNI(jboolean, kvNodeEvidenceToPropagate)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_node_evidence_to_propagate(Handle{a0}));
}

KV_JNI(jint, kvNodeGenerateTable)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_generate_table(Handle{a0}));
}

KV_JNI(jdouble, kvNodeGetAlpha)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_alpha(Handle{a0}, Int{a1});
}

KV_JNI(jstring, kvNodeGetAttribute)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_string();
    StringCache cache{env, node_home(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return nullptr;
    return to_jstring(env, kv_node_get_attribute(Handle{a0}, s1.get()));
}

KV_JNI(jdouble, kvNodeGetBelief)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_belief(Handle{a0}, Int{a1});
}

KV_JNI(jdouble, kvNodeGetBeta)(JNIEnv *, jobject, jhandle a0, jhandle a1, jint a2)
{
    return kv_node_get_beta(Handle{a0}, Handle{a1}, Int{a2});
}

KV_JNI(jint, kvNodeGetCaseState)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_node_get_case_state(Handle{a0}, Int{a1}));
}

KV_JNI(jdouble, kvNodeGetCaseValue)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_case_value(Handle{a0}, Int{a1});
}

KV_JNI(jint, kvNodeGetCategory)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_get_category(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetChildren)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_children(Handle{a0}));
}

KV_JNI(jdouble, kvNodeGetDataIndependency)(JNIEnv *, jobject, jhandle a0, jhandle a1)
{
    return kv_node_get_data_independency(Handle{a0}, Handle{a1});
}

KV_JNI(jhandle, kvNodeGetDistribution)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_distribution(Handle{a0}));
}

KV_JNI(jint, kvNodeGetEdgeConstraint)(JNIEnv *, jobject, jhandle a0, jhandle a1)
{
    return static_cast<jint>(kv_node_get_edge_constraint(Handle{a0}, Handle{a1}));
}

KV_JNI(jdouble, kvNodeGetEnteredFinding)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_entered_finding(Handle{a0}, Int{a1});
}

KV_JNI(jdouble, kvNodeGetEnteredValue)(JNIEnv *, jobject, jhandle a0)
{
    return kv_node_get_entered_value(Handle{a0});
}

KV_JNI(jdouble, kvNodeGetExpectedUtility)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_expected_utility(Handle{a0}, Int{a1});
}

KV_JNI(jhandle, kvNodeGetExperienceTable)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_experience_table(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetFadingTable)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_fading_table(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetFindingClique)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_finding_clique(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetFirstAttribute)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_first_attribute(Handle{a0}));
}

KV_JNI(jdouble, kvNodeGetGamma)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_gamma(Handle{a0}, Int{a1});
}

KV_JNI(jhandle, kvNodeGetHomeClass)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_home_class(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetHomeDomain)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_home_domain(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetInput)(JNIEnv *, jobject, jhandle a0, jhandle a1)
{
    return to_handle(kv_node_get_input(Handle{a0}, Handle{a1}));
}

KV_JNI(jhandle, kvNodeGetInstance)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_instance(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetInstanceClass)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_instance_class(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetJunctionTree)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_junction_tree(Handle{a0}));
}

KV_JNI(jint, kvNodeGetKind)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_get_kind(Handle{a0}));
}

KV_JNI(jstring, kvNodeGetLabel)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_node_get_label(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetMaster)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_master(Handle{a0}));
}

KV_JNI(jdouble, kvNodeGetMean)(JNIEnv *, jobject, jhandle a0)
{
    return kv_node_get_mean(Handle{a0});
}

KV_JNI(jhandle, kvNodeGetModel)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_model(Handle{a0}));
}

KV_JNI(jstring, kvNodeGetName)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_node_get_name(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetNext)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_next(Handle{a0}));
}

KV_JNI(jint, kvNodeGetNumberOfStates)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_get_number_of_states(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetOutput)(JNIEnv *, jobject, jhandle a0, jhandle a1)
{
    return to_handle(kv_node_get_output(Handle{a0}, Handle{a1}));
}

KV_JNI(jhandle, kvNodeGetParents)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_parents(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetPdagNeighbors)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_pdag_neighbors(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetPdagParents)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_pdag_parents(Handle{a0}));
}

KV_JNI(jdouble, kvNodeGetPropagatedFinding)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_propagated_finding(Handle{a0}, Int{a1});
}

KV_JNI(jdouble, kvNodeGetPropagatedValue)(JNIEnv *, jobject, jhandle a0)
{
    return kv_node_get_propagated_value(Handle{a0});
}

KV_JNI(jint, kvNodeGetSampledState)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_get_sampled_state(Handle{a0}));
}

KV_JNI(jdouble, kvNodeGetSampledValue)(JNIEnv *, jobject, jhandle a0)
{
    return kv_node_get_sampled_value(Handle{a0});
}

KV_JNI(jhandle, kvNodeGetSource)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_source(Handle{a0}));
}

KV_JNI(jstring, kvNodeGetStateLabel)(JNIEnv *env, jobject, jhandle a0, jint a1)
{
    return to_jstring(env, kv_node_get_state_label(Handle{a0}, Int{a1}));
}

KV_JNI(jdouble, kvNodeGetStateValue)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return kv_node_get_state_value(Handle{a0}, Int{a1});
}

KV_JNI(jint, kvNodeGetSubtype)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_get_subtype(Handle{a0}));
}

KV_JNI(jhandle, kvNodeGetTable)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_get_table(Handle{a0}));
}

KV_JNI(jdouble, kvNodeGetVariance)(JNIEnv *, jobject, jhandle a0)
{
    return kv_node_get_variance(Handle{a0});
}

KV_JNI(jboolean, kvNodeHasExperienceTable)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_node_has_experience_table(Handle{a0}));
}

KV_JNI(jboolean, kvNodeHasFadingTable)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_node_has_fading_table(Handle{a0}));
}

KV_JNI(jboolean, kvNodeLikelihoodIsEntered)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_node_likelihood_is_entered(Handle{a0}));
}

KV_JNI(jboolean, kvNodeLikelihoodIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_node_likelihood_is_propagated(Handle{a0}));
}

KV_JNI(jhandle, kvNodeMakeExpression)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_node_make_expression(Handle{a0}));
}

KV_JNI(jhandle, kvNodeNewModel)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, node_home(a0)};
    return to_handle(kv_node_new_model(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvNodeRemoveFromInputs)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_remove_from_inputs(Handle{a0}));
}

KV_JNI(jint, kvNodeRemoveFromOutputs)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_remove_from_outputs(Handle{a0}));
}

KV_JNI(jint, kvNodeRemoveParent)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_remove_parent(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvNodeRetractFindings)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_retract_findings(Handle{a0}));
}

KV_JNI(jint, kvNodeReverseEdge)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_reverse_edge(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvNodeSelectState)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_node_select_state(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvNodeSetAlpha)(JNIEnv *, jobject, jhandle a0, jdouble a1, jint a2)
{
    return static_cast<jint>(kv_node_set_alpha(Handle{a0}, a1, Int{a2}));
}

KV_JNI(jint, kvNodeSetAttribute)(JNIEnv *env, jobject, jhandle a0, jstring a1, jstring a2)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, node_home(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    NativeString s2{cache, a2};
    if (!s2)
        return status_failure();
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_set_attribute(Handle{a0}, s1.get(), s2.get()));
}

KV_JNI(jint, kvNodeSetBeta)(JNIEnv *, jobject, jhandle a0, jdouble a1, jhandle a2, jint a3)
{
    return static_cast<jint>(kv_node_set_beta(Handle{a0}, a1, Handle{a2}, Int{a3}));
}

KV_JNI(jint, kvNodeSetCaseState)(JNIEnv *, jobject, jhandle a0, jint a1, jint a2)
{
    return static_cast<jint>(kv_node_set_case_state(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jint, kvNodeSetCaseValue)(JNIEnv *, jobject, jhandle a0, jint a1, jdouble a2)
{
    return static_cast<jint>(kv_node_set_case_value(Handle{a0}, Int{a1}, a2));
}

KV_JNI(jint, kvNodeSetEdgeConstraint)(JNIEnv *, jobject, jhandle a0, jhandle a1, jint a2)
{
    return static_cast<jint>(kv_node_set_edge_constraint(Handle{a0}, Handle{a1}, Int{a2}));
}

KV_JNI(jint, kvNodeSetGamma)(JNIEnv *, jobject, jhandle a0, jdouble a1, jint a2)
{
    return static_cast<jint>(kv_node_set_gamma(Handle{a0}, a1, Int{a2}));
}

KV_JNI(jint, kvNodeSetInput)(JNIEnv *env, jobject, jhandle a0, jhandle a1, jhandle a2)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_set_input(Handle{a0}, Handle{a1}, Handle{a2}));
}

KV_JNI(jint, kvNodeSetLabel)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, node_home(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_node_set_label(Handle{a0}, s1.get()));
}

KV_JNI(jint, kvNodeSetName)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, node_home(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_node_set_name(Handle{a0}, s1.get()));
}

KV_JNI(jint, kvNodeSetNumberOfStates)(JNIEnv *env, jobject, jhandle a0, jint a1)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_set_number_of_states(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvNodeSetPosition)(JNIEnv *, jobject, jhandle a0, jint a1, jint a2)
{
    return static_cast<jint>(kv_node_set_position(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jint, kvNodeSetStateLabel)(JNIEnv *env, jobject, jhandle a0, jint a1, jstring a2)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, node_home(a0)};
    NativeString s2{cache, a2};
    if (!s2)
        return status_failure();
    return static_cast<jint>(kv_node_set_state_label(Handle{a0}, Int{a1}, s2.get()));
}

KV_JNI(jint, kvNodeSetStateValue)(JNIEnv *, jobject, jhandle a0, jint a1, jdouble a2)
{
    return static_cast<jint>(kv_node_set_state_value(Handle{a0}, Int{a1}, a2));
}

KV_JNI(jint, kvNodeSetSubtype)(JNIEnv *env, jobject, jhandle a0, jint a1)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_set_subtype(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvNodeSubstituteClass)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_substitute_class(Handle{a0}, Handle{a1}));
}

KV_JNI(jint, kvNodeSwitchParent)(JNIEnv *env, jobject, jhandle a0, jhandle a1, jhandle a2)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_switch_parent(Handle{a0}, Handle{a1}, Handle{a2}));
}

KV_JNI(jint, kvNodeTouchTable)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_node_touch_table(Handle{a0}));
}

KV_JNI(jint, kvNodeUnsetCase)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_node_unset_case(Handle{a0}, Int{a1}));
}

KV_JNI(jint, kvNodeUnsetInput)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, node_home(a0)};
    return static_cast<jint>(kv_node_unset_input(Handle{a0}, Handle{a1}));
}

KV_JNI(jhandle, kvClassCreateDomain)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_class_create_domain(Handle{a0}));
}

KV_JNI(jint, kvClassGenerateTables)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_class_generate_tables(Handle{a0}));
}

KV_JNI(jstring, kvClassGetAttribute)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_string();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return nullptr;
    return to_jstring(env, kv_class_get_attribute(Handle{a0}, s1.get()));
}

KV_JNI(jhandle, kvClassGetClassCollection)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_class_get_class_collection(Handle{a0}));
}

KV_JNI(jstring, kvClassGetFileName)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_class_get_file_name(Handle{a0}));
}

KV_JNI(jhandle, kvClassGetFirstAttribute)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_class_get_first_attribute(Handle{a0}));
}

KV_JNI(jhandle, kvClassGetFirstNode)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_class_get_first_node(Handle{a0}));
}

KV_JNI(jhandle, kvClassGetInputs)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_class_get_inputs(Handle{a0}));
}

KV_JNI(jhandle, kvClassGetInstances)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_class_get_instances(Handle{a0}));
}

KV_JNI(jstring, kvClassGetName)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_class_get_name(Handle{a0}));
}

KV_JNI(jhandle, kvClassGetNodeByName)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_handle();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return 0;
    return to_handle(kv_class_get_node_by_name(Handle{a0}, s1.get()));
}

KV_JNI(jhandle, kvClassGetOutputs)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_class_get_outputs(Handle{a0}));
}

KV_JNI(jhandle, kvClassNewInstance)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, domain_of(a0)};
    return to_handle(kv_class_new_instance(Handle{a0}, Handle{a1}));
}

KV_JNI(jhandle, kvClassNewNode)(JNIEnv *env, jobject, jhandle a0, jint a1, jint a2)
{
    Publish publish{env, domain_of(a0)};
    return to_handle(kv_class_new_node(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jint, kvClassSaveAsNet)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_class_save_as_net(Handle{a0}, s1.get()));
}

KV_JNI(jint, kvClassSetAttribute)(JNIEnv *env, jobject, jhandle a0, jstring a1, jstring a2)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    NativeString s2{cache, a2};
    if (!s2)
        return status_failure();
    Publish publish{env, domain_of(a0)};
    return static_cast<jint>(kv_class_set_attribute(Handle{a0}, s1.get(), s2.get()));
}

KV_JNI(jint, kvClassSetName)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    if (!a0)
        return usage_status();
    StringCache cache{env, domain_of(a0)};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_class_set_name(Handle{a0}, s1.get()));
}

KV_JNI(jint, kvClassSetNodeSize)(JNIEnv *, jobject, jhandle a0, jint a1, jint a2)
{
    return static_cast<jint>(kv_class_set_node_size(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jhandle, kvCCGetClassByName)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    StringCache cache{env, nullptr};
    NativeString s1{cache, a1};
    if (!s1)
        return 0;
    return to_handle(kv_cc_get_class_by_name(Handle{a0}, s1.get()));
}

KV_JNI(jhandle, kvCCGetMembers)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_cc_get_members(Handle{a0}));
}

KV_JNI(jhandle, kvCCNewClass)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, collection_of(a0)};
    return to_handle(kv_cc_new_class(Handle{a0}));
}

KV_JNI(jint, kvCCSaveAsNet)(JNIEnv *env, jobject, jhandle a0, jstring a1)
{
    StringCache cache{env, nullptr};
    NativeString s1{cache, a1};
    if (!s1)
        return status_failure();
    return static_cast<jint>(kv_cc_save_as_net(Handle{a0}, s1.get()));
}

KV_JNI(jboolean, kvJTCgEvidenceIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_jt_cg_evidence_is_propagated(Handle{a0}));
}

KV_JNI(jboolean, kvJTEquilibriumIs)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return to_flag(kv_jt_equilibrium_is(Handle{a0}, Int{a1}));
}

KV_JNI(jboolean, kvJTEvidenceIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_jt_evidence_is_propagated(Handle{a0}));
}

KV_JNI(jboolean, kvJTEvidenceModeIs)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return to_flag(kv_jt_evidence_mode_is(Handle{a0}, Int{a1}));
}

KV_JNI(jboolean, kvJTEvidenceToPropagate)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_jt_evidence_to_propagate(Handle{a0}));
}

KV_JNI(jhandle, kvJTGetCliques)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_jt_get_cliques(Handle{a0}));
}

KV_JNI(jdouble, kvJTGetConflict)(JNIEnv *, jobject, jhandle a0)
{
    return kv_jt_get_conflict(Handle{a0});
}

KV_JNI(jhandle, kvJTGetNext)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_jt_get_next(Handle{a0}));
}

KV_JNI(jhandle, kvJTGetRoot)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_jt_get_root(Handle{a0}));
}

KV_JNI(jboolean, kvJTLikelihoodIsPropagated)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_jt_likelihood_is_propagated(Handle{a0}));
}

KV_JNI(jint, kvJTPropagate)(JNIEnv *, jobject, jhandle a0, jint a1, jint a2)
{
    return static_cast<jint>(kv_jt_propagate(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jboolean, kvJTTablesToPropagate)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_jt_tables_to_propagate(Handle{a0}));
}

KV_JNI(jdouble, kvCliqueGetConflict)(JNIEnv *, jobject, jhandle a0)
{
    return kv_clique_get_conflict(Handle{a0});
}

KV_JNI(jhandle, kvCliqueGetMembers)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_clique_get_members(Handle{a0}));
}

KV_JNI(jhandle, kvCliqueGetNeighbors)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_clique_get_neighbors(Handle{a0}));
}

KV_JNI(jint, kvCliquePropagate)(JNIEnv *, jobject, jhandle a0, jint a1, jint a2)
{
    return static_cast<jint>(kv_clique_propagate(Handle{a0}, Int{a1}, Int{a2}));
}

KV_JNI(jint, kvTableDelete)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_table_delete(Handle{a0}));
}

KV_JNI(jdouble, kvTableGetCovariance)(JNIEnv *, jobject, jhandle a0, jint a1, jhandle a2, jhandle a3)
{
    return kv_table_get_covariance(Handle{a0}, Int{a1}, Handle{a2}, Handle{a3});
}

KV_JNI(jhandle, kvTableGetData)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_table_get_data(Handle{a0}));
}

KV_JNI(jdouble, kvTableGetMean)(JNIEnv *, jobject, jhandle a0, jint a1, jhandle a2)
{
    return kv_table_get_mean(Handle{a0}, Int{a1}, Handle{a2});
}

KV_JNI(jhandle, kvTableGetNodes)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_table_get_nodes(Handle{a0}));
}

KV_JNI(jint, kvTableGetSize)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_table_get_size(Handle{a0}));
}

KV_JNI(jdouble, kvTableGetVariance)(JNIEnv *, jobject, jhandle a0, jint a1, jhandle a2)
{
    return kv_table_get_variance(Handle{a0}, Int{a1}, Handle{a2});
}

KV_JNI(jint, kvTableReorderNodes)(JNIEnv *env, jobject, jhandle a0, jhandle a1)
{
    Publish publish{env, table_home(a0)};
    return static_cast<jint>(kv_table_reorder_nodes(Handle{a0}, Handle{a1}));
}

KV_JNI(jhandle, kvBooleanMakeExpression)(JNIEnv *, jobject, jboolean a0)
{
    return to_handle(kv_boolean_make_expression((a0 ? 1 : 0)));
}

KV_JNI(jhandle, kvLabelMakeExpression)(JNIEnv *env, jobject, jstring a0)
{
    StringCache cache{env, nullptr};
    NativeString s0{cache, a0};
    if (!s0)
        return 0;
    return to_handle(kv_label_make_expression(s0.get()));
}

KV_JNI(jhandle, kvNumberMakeExpression)(JNIEnv *, jobject, jdouble a0)
{
    return to_handle(kv_number_make_expression(a0));
}

KV_JNI(jhandle, kvMakeCompositeExpression)(JNIEnv *, jobject, jint a0, jhandle a1)
{
    return to_handle(kv_make_composite_expression(Int{a0}, Handle{a1}));
}

KV_JNI(jhandle, kvExpressionClone)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_expression_clone(Handle{a0}));
}

KV_JNI(jboolean, kvExpressionGetBoolean)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_expression_get_boolean(Handle{a0}));
}

KV_JNI(jstring, kvExpressionGetLabel)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_expression_get_label(Handle{a0}));
}

KV_JNI(jhandle, kvExpressionGetNode)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_expression_get_node(Handle{a0}));
}

KV_JNI(jdouble, kvExpressionGetNumber)(JNIEnv *, jobject, jhandle a0)
{
    return kv_expression_get_number(Handle{a0});
}

KV_JNI(jhandle, kvExpressionGetOperands)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_expression_get_operands(Handle{a0}));
}

KV_JNI(jint, kvExpressionGetOperator)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_expression_get_operator(Handle{a0}));
}

KV_JNI(jboolean, kvExpressionIsComposite)(JNIEnv *, jobject, jhandle a0)
{
    return to_flag(kv_expression_is_composite(Handle{a0}));
}

KV_JNI(jint, kvModelDelete)(JNIEnv *env, jobject, jhandle a0)
{
    Publish publish{env, model_home(a0)};
    return static_cast<jint>(kv_model_delete(Handle{a0}));
}

KV_JNI(jhandle, kvModelGetExpression)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return to_handle(kv_model_get_expression(Handle{a0}, Int{a1}));
}

KV_JNI(jhandle, kvModelGetNodes)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_model_get_nodes(Handle{a0}));
}

KV_JNI(jint, kvModelGetNumberOfSamplesPerInterval)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_model_get_number_of_samples_per_interval(Handle{a0}));
}

KV_JNI(jint, kvModelGetSize)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_model_get_size(Handle{a0}));
}

KV_JNI(jint, kvModelSetExpression)(JNIEnv *env, jobject, jhandle a0, jint a1, jhandle a2)
{
    Publish publish{env, model_home(a0)};
    return static_cast<jint>(kv_model_set_expression(Handle{a0}, Int{a1}, Handle{a2}));
}

KV_JNI(jint, kvModelSetNumberOfSamplesPerInterval)(JNIEnv *, jobject, jhandle a0, jint a1)
{
    return static_cast<jint>(kv_model_set_number_of_samples_per_interval(Handle{a0}, Int{a1}));
}

KV_JNI(jstring, kvAttributeGetKey)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_attribute_get_key(Handle{a0}));
}

KV_JNI(jhandle, kvAttributeGetNext)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_attribute_get_next(Handle{a0}));
}

KV_JNI(jstring, kvAttributeGetValue)(JNIEnv *env, jobject, jhandle a0)
{
    return to_jstring(env, kv_attribute_get_value(Handle{a0}));
}

KV_JNI(jhandle, kvUncertainEdgeGetFirstNode)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_uncertain_edge_get_first_node(Handle{a0}));
}

KV_JNI(jhandle, kvUncertainEdgeGetSecondNode)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_uncertain_edge_get_second_node(Handle{a0}));
}

KV_JNI(jint, kvUncertainEdgeManualDecision)(JNIEnv *, jobject, jhandle a0, jboolean a1)
{
    return static_cast<jint>(kv_uncertain_edge_manual_decision(Handle{a0}, (a1 ? 1 : 0)));
}

KV_JNI(jint, kvAmbiguousRegionFindMinimalSolutions)(JNIEnv *, jobject, jhandle a0)
{
    return static_cast<jint>(kv_ambiguous_region_find_minimal_solutions(Handle{a0}));
}

KV_JNI(jhandle, kvAmbiguousRegionGetEdges)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_ambiguous_region_get_edges(Handle{a0}));
}

KV_JNI(jhandle, kvAmbiguousRegionGetFirstSolution)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_ambiguous_region_get_first_solution(Handle{a0}));
}

KV_JNI(jhandle, kvAmbiguousRegionGetNext)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_ambiguous_region_get_next(Handle{a0}));
}

KV_JNI(jhandle, kvSolutionGetEdges)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_solution_get_edges(Handle{a0}));
}

KV_JNI(jhandle, kvSolutionGetNext)(JNIEnv *, jobject, jhandle a0)
{
    return to_handle(kv_solution_get_next(Handle{a0}));
}

KV_JNI(jhandle, kvNewDomain)(JNIEnv *, jobject)
{
    return to_handle(kv_new_domain());
}

KV_JNI(jhandle, kvNewClassCollection)(JNIEnv *, jobject)
{
    return to_handle(kv_new_class_collection());
}

KV_JNI(jhandle, kvKBLoadDomain)(JNIEnv *env, jobject, jstring a0, jstring a1)
{
    StringCache cache{env, nullptr};
    NativeString s0{cache, a0};
    if (!s0)
        return 0;
    NativeString s1{cache, a1};
    if (!s1)
        return 0;
    return to_handle(kv_kb_load_domain(s0.get(), s1.get()));
}

KV_JNI(jint, kvErrorCode)(JNIEnv *, jobject)
{
    return static_cast<jint>(kv_error_code());
}

KV_JNI(jstring, kvErrorDescription)(JNIEnv *env, jobject, jint a0)
{
    return to_jstring(env, kv_error_description(Int{a0}));
}
